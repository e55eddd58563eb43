% Octave tests of the kip_fft MEX file. Environment: KIP_REF_FFT (the reference program
% ref_fft), KIP_TEST_DIR (scratch directory); the MEX directory is on the path.
source(fullfile(fileparts(mfilename('fullpath')), 'kip_test_helpers.m'));
dir = getenv('KIP_TEST_DIR');
run_reference(getenv('KIP_REF_FFT'), dir);
names = {'C_NFFT_MAX', 'C_ARCH', 'C_HAS_NFFT', 'C_USE_FLT_PT', 'C_INPUT_WIDTH', ...
         'C_TWIDDLE_WIDTH', 'C_HAS_SCALING', 'C_HAS_BFP', 'C_HAS_ROUNDING'};

%% Every architecture and scaling mode: spectra, block exponents and overflow flags equal the C
%% interface's bit for bit, frames given as the columns of one matrix.
cases = dlmread(fullfile(dir, 'fft_cases.txt'));
archs = [];
for k = 1:rows(cases)
  c = cases(k, :);
  g = cell2struct(num2cell(c(1:9)), names, 2);
  nfft = c(10); frames = c(11); direction = c(12); sch = c(14:13 + c(13));
  n = 2^nfft;
  in = reshape(read_bin(dir, sprintf('fft_%d_in.bin', k), 'double'), n, frames, 2);
  out = reshape(read_bin(dir, sprintf('fft_%d_out.bin', k), 'double'), n, frames, 2);
  flags = reshape(read_bin(dir, sprintf('fft_%d_flags.bin', k), 'double'), frames, 2)';
  x = complex(in(:, :, 1), in(:, :, 2));
  h = kip_fft('create', g);
  assert(isequal(kip_fft('generics', h), g));
  [xk, blk_exp, overflow] = kip_fft('transform', h, x, sch, direction);
  what = sprintf('case %d (C_ARCH %d)', k, g.C_ARCH);
  same_bits(real(xk), out(:, :, 1), [what ' real part']);
  same_bits(imag(xk), out(:, :, 2), [what ' imaginary part']);
  same_bits(blk_exp, flags(1, :), [what ' blk_exp']);
  same_bits(overflow, flags(2, :), [what ' overflow']);
  % One frame at a time gives the same bins.
  same_bits(real(kip_fft('transform', h, x(:, end), sch, direction)), out(:, end, 1), what);
  kip_fft('destroy', h);
  archs(end + 1) = g.C_ARCH;
end
assert(isequal(unique(archs), 1:4));

%% Refused calls: errors with identifiers, naming the frame; the model stays usable.
g = struct('C_NFFT_MAX', 7, 'C_ARCH', 2);
h = kip_fft('create', g);
x = complex(mod((0:127)' * 37, 256) - 128, mod((0:127)' * 91, 256) - 128) / 256;
sch = [1 1 1 1 1 1 1];
ref = kip_fft('transform', h, x, sch);
bad = [x x]; bad(5, 2) = NaN;
expect_error(@() kip_fft('transform', h, bad, sch), 'kip:fft:invalidInput', 'frame 2');
bad(5, 2) = 1.0;
expect_error(@() kip_fft('transform', h, bad, sch), 'kip:fft:invalidInput', 'frame 2');
expect_error(@() kip_fft('transform', h, x.', sch), 'kip:fft:invalidInput', 'row vector');
expect_error(@() kip_fft('transform', h, x(1:64), sch), 'kip:fft:invalidInput');
expect_error(@() kip_fft('transform', h, single(x), sch), 'kip:fft:invalidInput');
expect_error(@() kip_fft('transform', h, int16(real(x)), sch), 'kip:fft:invalidInput');
expect_error(@() kip_fft('transform', h, [], sch), 'kip:fft:invalidInput');
expect_error(@() kip_fft('transform', h, ones(128, 1, 2) / 2, sch), 'kip:fft:invalidInput');
% No schedule, or [], is the library's default: 1/2N, a shift of 2 in the first radix-2 stage
% and of 1 in each later one; it never overflows, even at full scale.
same_bits(kip_fft('transform', h, x), kip_fft('transform', h, x, [2 1 1 1 1 1 1]), 'default');
[~, ~, ovf] = kip_fft('transform', h, complex(-ones(128, 1), -ones(128, 1)), []);
assert(ovf == 0);
% A schedule that overflows gives one warning for the call, naming the first frame.
lastwarn('');
[~, ~, ovf] = kip_fft('transform', h, [zeros(128, 1), -ones(128, 2)], zeros(1, 7));
[msg, id] = lastwarn();
assert(isequal(ovf, [0 1 1]) && strcmp(id, 'kip:fft:overflow'), id);
assert(~isempty(strfind(msg, 'overflowed in 2 of 3 frames (first: frame 2)')), msg);
expect_error(@() kip_fft('transform', h, x, sch), 'kip:fft:usage', 'at most 3 outputs, not 4', 4);
expect_error(@() kip_fft('transform', h, x, sch(1:4)), 'kip:fft:invalidScaling');
expect_error(@() kip_fft('transform', h, [x x], [sch(1:6) 4]), 'kip:fft:invalidScaling', ...
             'frame 1: ERROR:kfft_v8_0:simulate called with invalid scaling value: scaling_sch[6] = 4');
expect_error(@() kip_fft('transform', h, x, [sch(1:6) 1.5]), 'kip:fft:invalidInput');
expect_error(@() kip_fft('transform', h, x, sch, 2), 'kip:fft:invalidDirection', ...
             'ERROR:kfft_v8_0:simulate called with invalid direction input 2: must be 0 or 1');
expect_error(@() kip_fft('transform', h, x, sch, 'forward'), 'kip:fft:invalidDirection');
expect_error(@() kip_fft('transform', double(h), x, sch), 'kip:fft:invalidHandle');
expect_error(@() kip_fft('transform', h + 1, x, sch), 'kip:fft:invalidHandle');
expect_error(@() kip_fft('transform', h), 'kip:fft:usage');
expect_error(@() kip_fft('fft', h), 'kip:fft:usage');
same_bits(kip_fft('transform', h, x, sch), ref, 'model after refused calls');
% The model's warnings are warnings with an identifier; turned into errors they leave it usable.
lastwarn('');
kip_fft('transform', h, [x x] / 3, sch);
[msg, id] = lastwarn();
assert(strcmp(id, 'kip:fft:warning') && ~isempty(strfind(msg, 'not pre-quantized')));
warning('error', 'kip:fft:warning');
expect_error(@() kip_fft('transform', h, x / 3, sch), 'kip:fft:warning');
warning('on', 'kip:fft:warning');
same_bits(kip_fft('transform', h, x, sch), ref, 'model after warnings');
kip_fft('destroy', h);
expect_error(@() kip_fft('transform', h, x, sch), 'kip:fft:invalidHandle', 'not a live');
h = kip_fft('create', struct('C_NFFT_MAX', 7, 'C_ARCH', 3, 'C_HAS_NFFT', 1, 'C_HAS_BFP', 1));
expect_error(@() kip_fft('transform', h, zeros(48, 1)), 'kip:fft:invalidInput', 'power of two');
expect_error(@() kip_fft('transform', h, zeros(4, 1)), 'kip:fft:invalidNfft');
assert(isequal(kip_fft('transform', h, zeros(8, 1)), zeros(8, 1)));
kip_fft('destroy', h);

%% Generics structs: defaults, refusals by name and by the model.
d = kip_fft('defaults');
assert(d.C_NFFT_MAX == 10 && d.C_ARCH == 1 && d.C_INPUT_WIDTH == 16);
expect_error(@() kip_fft('create', struct('C_ARX', 2)), 'kip:fft:invalidGenerics', '''C_ARX''');
expect_error(@() kip_fft('create', struct('C_ARCH', 7)), 'kip:fft:invalidGenerics', 'C_ARCH');
% The generics are the library's description, in record order.
f = kip_fft('fields');
assert(isequal({f.name}', fieldnames(d)) && isequal([f.default]', cell2mat(struct2cell(d))));
h = kip_fft('create', struct('C_NFFT_MAX', 7, 'C_ARCH', 3, 'C_HAS_NFFT', 1, 'C_HAS_SCALING', 0));
assert(kip_fft('output_width', h, 2) == 0 && kip_fft('output_width', h, 5) > 16);
kip_fft('destroy', h);
expect_error(@() kip_fft('create', struct('C_ARCH', 1, 'C_NFFT_MAX', 5)), 'kip:fft:invalidGenerics');
expect_error(@() kip_fft('create', struct('C_ARCH', 1.5)), 'kip:fft:invalidGenerics');
expect_error(@() kip_fft('create', struct('C_ARCH', [1 2])), 'kip:fft:invalidGenerics');
expect_error(@() kip_fft('create', 'C_ARCH'), 'kip:fft:invalidGenerics');

%% 'help kip_fft' prints the usage from the help file beside the MEX file.
usage = evalc('help kip_fft');
assert(~isempty(strfind(usage, "[xk, blk_exp, overflow] = kip_fft('transform', h, x")));
assert(~isempty(regexp(which('kip_fft'), '\.mex$', 'once')));

%% Handles of live models; 'clear kip_fft' frees them and invalidates their handles.
h = kip_fft('create');
h2 = kip_fft('create', struct('C_ARCH', 3));
assert(isequal(sort(kip_fft('handles')), sort([h; h2])));
clear kip_fft
assert(isempty(kip_fft('handles')));
expect_error(@() kip_fft('transform', h, zeros(1024, 1)), 'kip:fft:invalidHandle');

%% No memory growth over 10,000 create/transform/destroy cycles with refused calls among them.
g = struct('C_NFFT_MAX', 4, 'C_ARCH', 2, 'C_HAS_SCALING', 0);
x = (0:15)' / 32;
for i = 1:300
  h = kip_fft('create', g); kip_fft('transform', h, x); kip_fft('destroy', h);
end
before = rss_kb();
for i = 1:10000
  h = kip_fft('create', g);
  kip_fft('transform', h, x);
  try, kip_fft('transform', h, x, [], 3); catch, end
  try, kip_fft('create', struct('C_ARCH', 9)); catch, end
  kip_fft('destroy', h);
end
grown = rss_kb() - before;
printf('kip_fft: resident memory grew by %d kB over 10000 cycles\n', grown);
assert(grown < 1024, 'resident memory grew by %d kB', grown);
disp('kip_fft tests passed');
