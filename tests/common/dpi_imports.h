// dpi_imports -- the SystemVerilog DPI-C layers' imports, as declared in hdl/kip_fir_dpi.sv and
// hdl/kip_fft_dpi.sv, for test programs that call the layers from C as a simulator does (they
// supply svSize, svLeft, svRight and svGetArrElemPtr1 themselves).
#ifndef KIP_TESTS_DPI_IMPORTS_H
#define KIP_TESTS_DPI_IMPORTS_H

#include <svdpi.h>

extern "C" {
void* kip_fir_dpi_create(const char* name, const svOpenArrayHandle coeff, int filter_type,
    int interp_rate, int decim_rate, int data_width, int data_fract_width, int coeff_width,
    int coeff_fract_width, int output_rounding, int output_width, int num_channels, int num_paths,
    const char** msg);
void* kip_fir_dpi_create_ex(
    const char* name, const svOpenArrayHandle coeff, const char* settings, const char** msg);
void kip_fir_dpi_destroy(void* h);
const char* kip_fir_dpi_message(void* h);
int kip_fir_dpi_output_width(void* h);
int kip_fir_dpi_output_fract_width(void* h);
int kip_fir_dpi_send(void* h, long long x);
int kip_fir_dpi_send_frame(void* h, const svOpenArrayHandle x);
int kip_fir_dpi_available(void* h);
int kip_fir_dpi_get(void* h, long long* y);
int kip_fir_dpi_get_frame(void* h, const svOpenArrayHandle y);
int kip_fir_dpi_get_wide(void* h, svBitVecVal* y);
int kip_fir_dpi_get_complex(void* h, long long* re, long long* im);
int kip_fir_dpi_reset(void* h);

void* kip_fft_dpi_create(int nfft_max, int arch, int has_nfft, int input_width, int twiddle_width,
    int has_scaling, int has_bfp, int has_rounding, const char** msg);
void kip_fft_dpi_destroy(void* h);
const char* kip_fft_dpi_message(void* h);
int kip_fft_dpi_output_width(void* h, int nfft);
int kip_fft_dpi_transform(void* h, int nfft, int direction, const svOpenArrayHandle scaling_sch,
    const svOpenArrayHandle xn_re, const svOpenArrayHandle xn_im, svOpenArrayHandle xk_re,
    svOpenArrayHandle xk_im, int* blk_exp, int* overflow);
}

#endif
