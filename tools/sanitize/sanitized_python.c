// Starts our interpreter under the sanitizers: the sanitizer runtime loaded first, the sanitizer
// options and the debug allocator set. It is the interpreter of the test run and, inside it,
// sys.executable (see sitecustomize.py), so the interpreters the tests start run the same way.
//
// A program rather than a shell script because a shell adds PWD to the environment, and tests
// check the exact environment a child process gets; sitecustomize.py removes what this adds.
//
// run-tests.sh builds it with PYTHON (the interpreter) and SETTINGS ("NAME=value" strings)
// defined in the generated settings.h.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "settings.h"

static char* settings[] = {SETTINGS};

int main(int argc, char** argv) {
    (void)argc;
    for (size_t i = 0; i < sizeof settings / sizeof settings[0]; ++i) {
        if (putenv(settings[i]) != 0) {
            perror("putenv");
            return 127;
        }
    }
    argv[0] = PYTHON;
    execv(PYTHON, argv);
    perror(PYTHON);
    return 127;
}
