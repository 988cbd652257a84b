/* Stand-in for the driver registration tool: appends "wdreg <arguments>" to
   standin.log in the current directory. */
#include <stdio.h>

int main(int argc, char **argv) {
    FILE *log = fopen("standin.log", "ab");
    if (log == NULL) {
        return 2;
    }
    fputs("wdreg", log);
    for (int i = 1; i < argc; ++i) {
        fprintf(log, " %s", argv[i]);
    }
    fputs("\n", log);
    return fclose(log) == 0 ? 0 : 2;
}
