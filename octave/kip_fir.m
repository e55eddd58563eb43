% KIP_FIR  Bit-accurate FIR filter model (tapforge 6.3.1) from Octave or MATLAB.
%
%   cfg = kip_fir('defaults')            default configuration as a struct
%   h   = kip_fir('create'[, cfg])       new model; returns a uint64 handle
%   kip_fir('send', h, x)                filter a block of input samples
%   y   = kip_fir('send', h, x)          ... and collect every output waiting
%   y   = kip_fir('get', h)              collect every output waiting
%   kip_fir('reload', h, fsel, coeff)    queue new coefficients for set fsel
%   kip_fir('config', h, fsel[, chanpat])  queue a configuration packet
%   kip_fir('reset', h)                  back to the state after creation
%   kip_fir('destroy', h)                free the model; h is invalid afterwards
%   cfg = kip_fir('get_config', h)       completed configuration of a model
%   hs  = kip_fir('handles')             handles of every live model
%   v   = kip_fir('version')             model version, '6.3.1'
%   d   = kip_fir('fields')              every configuration field: name, kind,
%                                        help, rule, min, max, default
%
% Configuration: a struct whose fields are those of kip_fir_v6_3_config, as
% the model library describes them (kip_fir('fields') lists each with its
% meaning, range, default and the rule tying it to other fields). Missing
% fields take the library's defaults; an unknown field or a value outside its
% range is an error; a setting the model ignores (such as a rate the filter
% type does not use) gives warning kip:fir:ignoredSetting. coeff holds num_coeffs * coeff_sets
% values, set after set; when num_coeffs is missing it is numel(coeff) /
% coeff_sets. Integer fields take any real numeric or logical scalar.
%
% Input x (real double, finite): paths x channels x vectors; with one path
% also channels x vectors; with one path and one channel any vector. Samples
% are converted to the data format as the model does: values off its grid are
% rounded down, values outside it wrap around; either gives one warning
% kip:fir:inputConverted per call with the count and the first x(k). One call may hold at most
% 2^31-1 vectors.
%
% Output y: channels x vectors (one path) or paths x channels x vectors, every
% complete output vector produced since the last collection:
%   - double, the output values, when output_width is at most 53 bits;
%   - complex double for a Hilbert filter (filter_type 3): real part the
%     delayed input, imaginary part the filter output;
%   - int64 when output_width exceeds 53 bits: integers in units of the
%     output's least significant bit, so the value is y * 2^-output_fract_width
%     (see get_config). An output that int64 cannot hold raises
%     kip:fir:outputRange and the waiting outputs are dropped; the model stays
%     usable. A Hilbert filter with such outputs is refused at creation.
%
% Packets: 'reload' queues num_coeffs values for coefficient set fsel (the
% model must be reloadable; more or fewer values are refused); 'config' queues the coefficient-set selectors
% fsel (one per channel with config_method 1, else one) and, under the
% advanced channel sequence, the channel pattern chanpat (default: the pattern
% of the previous packet; init_pattern at first and after 'reset'). Both take
% effect at the model's next configuration point. 'reset' also drops outputs
% waiting for collection.
%
% Messages: the model's warnings are Octave/MATLAB warnings with identifier
% kip:fir:warning (warning('off', 'kip:fir:warning') silences them). Errors
% carry identifiers: kip:fir:invalidConfig, kip:fir:invalidInput,
% kip:fir:invalidHandle, kip:fir:sendFailed, kip:fir:reloadFailed,
% kip:fir:configFailed, kip:fir:outputRange, kip:fir:unsupported,
% kip:fir:usage. A refused call leaves the model as it was.
%
% Handles: a destroyed or made-up handle is an error, never a crash. Models
% still open are freed by 'clear kip_fir' (their handles become invalid).
%
% Example:
%   h = kip_fir('create', struct('coeff', [1 2 3 2 1], 'data_width', 16));
%   y = kip_fir('send', h, 0:9);     % 0 1 4 10 18 27 36 45 54 63
%   kip_fir('destroy', h);
%
% Building with MATLAB (from the installed tree):
%   mex -R2017b kip_fir.cpp -I<prefix>/include -L<prefix>/lib ...
%       -lIp_tapforge_v6_3_bitacc_cmodel -lgmp
%
% See also KIP_FFT.
