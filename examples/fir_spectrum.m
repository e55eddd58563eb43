addpath('build/octave')   % after make install: addpath('<prefix>/share/kip_models/octave')
x = round(2^13 * (sin(0.05 * (0:4095)) + sin(2.5 * (0:4095)))) / 2^15;    % two tones, 16-bit
h = kip_fir('create', struct('coeff', conv(ones(1, 8), ones(1, 8)), 'data_fract_width', 15));
y = kip_fir('send', h, x) / 64;  kip_fir('destroy', h);         % bit-accurate low-pass filter
Y = 20 * log10(abs(fft(y)) + 1e-3);  plot((0:2047) / 4096, Y(1:2048));  xlabel('cycles/sample'); ylabel('dB')
