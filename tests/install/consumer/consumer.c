/* Minimal out-of-tree consumer of both installed model libraries. */
#include <stdio.h>
#include <string.h>

#include <kfft_v8_0_bitacc_cmodel.h>
#include <tapforge_v6_3_bitacc_cmodel.h>

int main(void)
{
    kip_fir_v6_3_config cfg;
    kelvar_ip_kfft_v8_0_generics g;
    kip_fir_v6_3* fir;
    struct kelvar_ip_kfft_v8_0_state* fft;

    if (strcmp(kip_fir_v6_3_get_version(), "6.3.1") != 0 || kip_fir_v6_3_default_config(&cfg) != 0)
        return 1;
    fir = kip_fir_v6_3_create(&cfg, NULL, NULL);
    if (!fir || kip_fir_v6_3_destroy(fir) != 0)
        return 2;
    g = kelvar_ip_kfft_v8_0_get_default_generics();
    fft = kelvar_ip_kfft_v8_0_create_state(g);
    if (!fft)
        return 3;
    kelvar_ip_kfft_v8_0_destroy_state(fft);
    printf(
        "consumer ok: FIR %s, FFT C_NFFT_MAX %d\n", kip_fir_v6_3_get_version(), (int)g.C_NFFT_MAX);
    return 0;
}
