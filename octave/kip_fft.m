% KIP_FFT  Bit-accurate FFT model (kfft 8.0) from Octave or MATLAB.
%
%   g = kip_fft('defaults')                 default generics as a struct
%   h = kip_fft('create'[, g])              new model; returns a uint64 handle
%   [xk, blk_exp, overflow] = kip_fft('transform', h, x[, scaling_sch[, direction]])
%   kip_fft('destroy', h)                   free the model; h is invalid afterwards
%   g  = kip_fft('generics', h)             generics of a model
%   hs = kip_fft('handles')                 handles of every live model
%   d  = kip_fft('fields')                  every generic: name, help, rule,
%                                           min, max, default
%   w  = kip_fft('output_width', h[, nfft]) bits of an output word (0 when
%                                           the length is refused)
%
% Generics: a struct with any of the model's generics, as the model library
% describes them (kip_fft('fields') lists each with its meaning, range,
% default and rule). Missing fields take the defaults; an unknown field or a
% value outside its range is an error.
%
% transform: x is a column (one frame) or a matrix with one frame per column,
% real or complex double. Fixed-point samples lie in -1 <= x < 1 and are
% rounded to C_INPUT_WIDTH bits when they are not on that grid (with a
% warning). The frame length is 2^C_NFFT_MAX, or with C_HAS_NFFT = 1 any power
% of two the architecture accepts (nfft = log2(rows(x))).
%   scaling_sch  per-stage right shifts 0 to 3, first stage first, used by
%                every frame; read only with C_HAS_SCALING = 1 and
%                C_HAS_BFP = 0 in fixed point: ceil(nfft/2) values for C_ARCH
%                1 and 3, nfft values for C_ARCH 2 and 4. Missing or []: the
%                library's default schedule, which divides by 2N and never
%                overflows. A schedule that overflowed gives warning
%                kip:fft:overflow (one per call, naming the first frame).
%   direction    1 forward (default), 0 inverse (no 1/N factor).
% Results: xk the spectrum, bins in natural order, one column per frame
% (complex double); blk_exp and overflow one value per frame (row vectors):
% the block exponent (block floating point: the true transform is about
% xk * 2^blk_exp) and the overflow flag.
%
% Messages: the model's warnings are Octave/MATLAB warnings with identifier
% kip:fft:warning, each distinct text once per call. Errors carry identifiers:
% kip:fft:invalidGenerics, kip:fft:invalidInput, kip:fft:invalidNfft,
% kip:fft:invalidScaling, kip:fft:invalidDirection, kip:fft:invalidHandle,
% kip:fft:usage; with several frames the message names the failing frame. A
% refused call leaves the model usable.
%
% Handles: a destroyed or made-up handle is an error, never a crash. Models
% still open are freed by 'clear kip_fft' (their handles become invalid).
%
% Example:
%   h = kip_fft('create', struct('C_NFFT_MAX', 6, 'C_ARCH', 3, 'C_HAS_SCALING', 0));
%   x = round(exp(2i*pi*(0:63)'/8) * 2^14) / 2^15;     % on the 16-bit grid
%   xk = kip_fft('transform', h, x);                   % close to fft(x)
%   kip_fft('destroy', h);
%
% Building with MATLAB (from the installed tree; the model's message lines
% then stay on the standard error stream):
%   mex -R2017b kip_fft.cpp -I<prefix>/include -L<prefix>/lib -lIp_kfft_v8_0_bitacc_cmodel
%
% See also KIP_FIR.
