/* Stand-in for the driver registration tool: appends "wdreg <arguments>" to
   standin.log in the current directory and, where that directory holds the file
   standins.talk, writes "wdreg: <arguments>" to standard output too. */
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
    if (fclose(log) != 0) {
        return 2;
    }
    FILE *talk = fopen("standins.talk", "rb");
    if (talk != NULL) {
        fclose(talk);
        fputs("wdreg:", stdout);
        for (int i = 1; i < argc; ++i) {
            printf(" %s", argv[i]);
        }
        fputs("\n", stdout);
        fflush(stdout);
    }
    return 0;
}
