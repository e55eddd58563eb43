// Peak resident memory of one state's engine and twiddle table at the largest maximum
// length (65,536 points), per architecture. Each architecture is measured in its own child
// process, since the high-water mark only grows; the child also runs one full frame.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engines.h"
#include "fft_config.h"

namespace {

long status_kib(const char* key)
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long v = -1;
    const size_t len = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, len) == 0) {
            v = std::strtol(line + len, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return v;
}

template <class Engine> int measure(int arch, int tw)
{
    const long base = status_kib("VmHWM:");
    FFT_CONFIG cfg
        = derive_fft_config(kelvar_ip_kfft_v8_0_generics { 16, arch, 0, 0, 16, tw, 1, 0, 0 });
    auto rom = std::make_unique<TWIDDLE_ROM>(16, tw);
    auto eng = std::make_unique<Engine>(cfg);
    const long built = status_kib("VmHWM:");
    set_frame_geometry(cfg, 16);
    eng->set_frame(cfg);
    for (int i = 0; i < 65536; ++i)
        eng->load_input(i, (i % 7) / 8.0, -(i % 5) / 8.0);
    eng->set_scaling_schedule(0x55555555u);
    eng->run(*rom);
    const long ran = status_kib("VmHWM:");
    std::printf("C_ARCH %d, twiddle width %2d: VmHWM before %6ld KiB, after create %6ld KiB "
                "(+%ld KiB), after a 65,536-point frame %6ld KiB (+%ld KiB)\n",
        arch, tw, base, built, built - base, ran, ran - base);
    std::fflush(stdout);
    return (ran - base) < 64 * 1024 ? 0 : 1;
}

int in_child(int (*fn)(int, int), int arch, int tw)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0)
        std::_Exit(fn(arch, tw));
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main()
{
    int bad = 0;
    for (int tw : { 16, 34 }) {
        bad |= in_child(measure<R4_loop>, 1, tw);
        bad |= in_child(measure<R2_loop>, 2, tw);
        bad |= in_child(measure<R22_pipeline>, 3, tw);
    }
    std::printf(bad ? "some engine exceeds 64 MiB\n" : "every engine stays below 64 MiB\n");
    return bad;
}
