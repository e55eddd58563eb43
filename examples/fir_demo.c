/* fir_demo -- creates the default FIR model, prints its messages and completed configuration. */
#include <stdio.h>

#include "tapforge_v6_3_bitacc_cmodel.h"

/* handle is the label given at creation: "msg" for the message handler, "dbg" for debug. */
static void print_message(void* handle, int32_t error, const char* message) {
    printf("[%s%s] %s\n", (const char*)handle, error ? " error" : "", message);
}

static void print_config(const kip_fir_v6_3_config* c) {
    printf("name               %s\n", c->name);
    printf("filter_type        %d\n", (int)c->filter_type);
    printf("rate_change        %d\n", (int)c->rate_change);
    printf("interp_rate        %d\n", (int)c->interp_rate);
    printf("decim_rate         %d\n", (int)c->decim_rate);
    printf("zero_pack_factor   %d\n", (int)c->zero_pack_factor);
    printf("coeff              %s\n", c->coeff ? "(set)" : "(null)");
    printf("coeff_padding      %d\n", (int)c->coeff_padding);
    printf("num_coeffs         %d\n", (int)c->num_coeffs);
    printf("coeff_sets         %d\n", (int)c->coeff_sets);
    printf("reloadable         %d\n", (int)c->reloadable);
    printf("is_halfband        %d\n", (int)c->is_halfband);
    printf("quantization       %d\n", (int)c->quantization);
    printf("coeff_width        %d\n", (int)c->coeff_width);
    printf("coeff_fract_width  %d\n", (int)c->coeff_fract_width);
    printf("chan_seq           %d\n", (int)c->chan_seq);
    printf("num_channels       %d\n", (int)c->num_channels);
    printf("init_pattern       %d\n", (int)c->init_pattern);
    printf("num_paths          %d\n", (int)c->num_paths);
    printf("data_width         %d\n", (int)c->data_width);
    printf("data_fract_width   %d\n", (int)c->data_fract_width);
    printf("output_rounding    %d\n", (int)c->output_rounding);
    printf("output_width       %d\n", (int)c->output_width);
    printf("output_fract_width %d\n", (int)c->output_fract_width);
    printf("config_method      %d\n", (int)c->config_method);
}

int main(void) {
    kip_fir_v6_3_config config;
    kip_fir_v6_3_config completed;
    kip_fir_v6_3* model;

    printf("FIR model version %s\n", kip_fir_v6_3_get_version());
    if (kip_fir_v6_3_default_config(&config) != 0) return 1;

    model = kip_fir_v6_3_create_dbg(&config, print_message, (void*)"msg", print_message,
                                    (void*)"dbg");
    if (!model) {
        fprintf(stderr, "model creation failed\n");
        return 1;
    }
    if (kip_fir_v6_3_get_config(model, &completed) != 0) {
        kip_fir_v6_3_destroy(model);
        return 1;
    }
    printf("Completed configuration:\n");
    print_config(&completed);

    return kip_fir_v6_3_destroy(model) == 0 ? 0 : 1;
}
