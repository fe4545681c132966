#include "support/preload.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

void ensureFakeSerialPreloaded(char **argv)
{
    if (::dlsym(RTLD_DEFAULT, "tarnelFakeSerialLoaded"))
        return;
    if (std::getenv("TARNEL_PRELOAD_TRIED")) { // the loader refused it: the tests will say so
        std::fprintf(stderr, "%s could not be preloaded\n", TARNEL_FAKESERIAL_PATH);
        return;
    }
    ::setenv("TARNEL_PRELOAD_TRIED", "1", 1);
    std::string preload = TARNEL_FAKESERIAL_PATH;
    if (const char *other = std::getenv("LD_PRELOAD"))
        preload += std::string(":") + other;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    // Under AddressSanitizer its runtime is then no longer first in line.
    std::string asan = "verify_asan_link_order=0";
    if (const char *options = std::getenv("ASAN_OPTIONS"))
        asan = std::string(options) + ":" + asan;
    ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    std::perror("ensureFakeSerialPreloaded: exec");
    std::exit(1);
}
