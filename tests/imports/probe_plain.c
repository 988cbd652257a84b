/* A program with nothing but the runtime every program of this build carries.
   Linked as is it passes the check; linked with newer or GUI subsystem headers
   it must not. */
int main(void) {
    return 0;
}
