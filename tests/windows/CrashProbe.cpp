// A program that crashes on purpose: its test passes only when the crash makes
// the run fail, so a crashing test program can never pass unnoticed.
#include <cstdio>

int main() {
    std::puts("writing through a null pointer");
    std::fflush(stdout);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
