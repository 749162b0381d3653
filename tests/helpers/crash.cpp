// kestal-test-crash.exe: dies of an access violation, so that the runner's
// handling of a crashing program can be tested.
#include <cstdio>

int main()
{
    fputs("about to crash\n", stdout);
    fflush(stdout);
    volatile int *nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
