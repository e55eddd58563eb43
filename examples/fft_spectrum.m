% A tone in noise through the bit-accurate FFT model (1,024-point pipelined streaming, 16-bit,
% schedule [3 2 2 2 1], i.e. 1/512), its spectrum beside Octave's fft and the error in dB.
% Run from the repository with build/octave on the path; make demo prints the figure to
% build/fft_spectrum.png.
addpath('build/octave')   % after make install: addpath('<prefix>/share/kip_models/octave')
n = 1024;  t = (0:n-1)';  sch = [3 2 2 2 1];
randn('seed', 1);
x = (0.5 * exp(2i * pi * 100.37 * t / n) + 0.01 * (randn(n, 1) + 1i * randn(n, 1)) / sqrt(2)) ...
    .* hanning(n);
x = round(x * 2^15) / 2^15;                           % on the 16-bit input grid
h = kip_fft('create', struct('C_NFFT_MAX', 10, 'C_ARCH', 3, 'C_HAS_SCALING', 1, ...
                             'C_HAS_ROUNDING', 1));
[xk, blk_exp, overflow] = kip_fft('transform', h, x, sch);
kip_fft('destroy', h);
X = xk * 2^sum(sch);                                  % the model's scaling undone, exactly
R = fft(x);                                           % double-precision reference
peak = max(abs(R));
err_db = 20 * log10(abs(X - R) / peak + 1e-12);
printf('peak at bin %d (fft: %d), overflow %d, worst bin error %.1f dB of the peak\n', ...
       find(abs(X) == max(abs(X))) - 1, find(abs(R) == peak) - 1, overflow, max(err_db));
subplot(2, 1, 1);
plot(0:n-1, 20 * log10(abs(R) / peak + 1e-12), 0:n-1, 20 * log10(abs(X) / peak + 1e-12));
axis([0 n-1 -130 5]);  ylabel('dB rel. peak');  legend('fft (double)', 'FFT model');
title('Tone at 100.37 cycles/frame in noise, 1024-point pipelined FFT, 16-bit, 1/512');
subplot(2, 1, 2);
plot(0:n-1, err_db);  axis([0 n-1 -130 -50]);  xlabel('bin (cycles per frame)');
ylabel('model - fft, dB');  legend(sprintf('error, worst bin %.1f dB of the peak', max(err_db)));
