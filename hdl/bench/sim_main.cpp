// Verilator driver of the benches: toggles the clock until $finish and returns the status the
// bench set through kip_bench_exit (2 when it finished without setting one).
#include <memory>

#include "Vkip_bench_top.h"
#include "verilated.h"

namespace {
int exit_code = 2;
constexpr unsigned long kMaxHalfCycles = 20000000;
}

extern "C" void kip_bench_exit(int code) { exit_code = code; }

int main(int argc, char** argv)
{
    const std::unique_ptr<VerilatedContext> context(new VerilatedContext);
    context->commandArgs(argc, argv);
    const std::unique_ptr<Vkip_bench_top> top(new Vkip_bench_top(context.get()));
    top->clk = 0;
    for (unsigned long i = 0; i < kMaxHalfCycles && !context->gotFinish(); ++i) {
        top->clk = !top->clk;
        top->eval();
    }
    top->final();
    if (!context->gotFinish()) {
        VL_PRINTF("bench did not finish\n");
        return 3;
    }
    return exit_code;
}
