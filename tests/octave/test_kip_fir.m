% Octave tests of the kip_fir MEX file. Environment: KIP_REF_FIR (the reference program
% ref_fir), KIP_TEST_DIR (scratch directory); the MEX directory is on the path.
source(fullfile(fileparts(mfilename('fullpath')), 'kip_test_helpers.m'));
dir = getenv('KIP_TEST_DIR');
run_reference(getenv('KIP_REF_FIR'), dir);

%% Decimating multichannel model: the output stream equals the C interface's, bit for bit,
%% with a reload and two configuration packets mid-stream and refused calls in between.
P = 2; C = 4; T = 19; TOTAL = 25; blocks = [7 1 0 12 5];
coeff = read_bin(dir, 'fir_dec_coeff.bin', 'double')';
reload = read_bin(dir, 'fir_dec_reload.bin', 'double')';
in = reshape(read_bin(dir, 'fir_dec_in.bin', 'double'), P, C, TOTAL);
want = reshape(read_bin(dir, 'fir_dec_out.bin', 'double'), P, C, []);
cfg = struct('filter_type', 2, 'decim_rate', 3, 'num_channels', C, 'num_paths', P, ...
             'coeff', coeff, 'coeff_sets', 2, 'reloadable', true, 'config_method', 1, ...
             'data_width', int32(16), 'data_fract_width', 15, 'output_rounding', 4, ...
             'output_width', 20);
h = kip_fir('create', cfg);
done = kip_fir('get_config', h);
assert(done.num_coeffs == T && done.output_width == 20 && isequal(done.coeff, coeff));
y = zeros(P, C, 0);
sent = 0;
for b = 1:numel(blocks)
  y = cat(3, y, kip_fir('send', h, in(:, :, sent + 1:sent + blocks(b))));
  sent = sent + blocks(b);
  if b == 1
    % Refused calls: each is an error with an identifier and changes nothing.
    x = in(:, :, 1);
    bad = x; bad(2, 3) = NaN;
    expect_error(@() kip_fir('send', h, bad), 'kip:fir:invalidInput', 'NaN');
    bad(2, 3) = -Inf;
    expect_error(@() kip_fir('send', h, bad), 'kip:fir:invalidInput', 'infinite');
    expect_error(@() kip_fir('send', h, single(x)), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('send', h, x + 1i), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('send', h, int16(x)), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('send', h, 'abcdefgh'), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('send', h, {x}), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('send', h, sparse(x)), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('send', h, x'), 'kip:fir:invalidInput', '2x4xV');
    expect_error(@() kip_fir('send', h, ones(2, 4, 2, 2)), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('send', h, ones(1, 8)), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('send', h), 'kip:fir:usage');
    expect_error(@() kip_fir('send', double(h), x), 'kip:fir:invalidHandle');
    expect_error(@() kip_fir('send', h + 1, x), 'kip:fir:invalidHandle');
    expect_error(@() kip_fir('send', uint64(0), x), 'kip:fir:invalidHandle');
    expect_error(@() kip_fir('send', [h h], x), 'kip:fir:invalidHandle');
    expect_error(@() kip_fir('reload', h, -1, reload), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('reload', h, 0, reload(1:5)), 'kip:fir:reloadFailed', ...
                 'Insufficient coeff values specified, expecting19');
    expect_error(@() kip_fir('reload', h, 5, reload), 'kip:fir:reloadFailed', 'Invalid reload fsel');
    expect_error(@() kip_fir('reload', h, 1, [reload(1:end-1) NaN]), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('config', h, [1 0]), 'kip:fir:configFailed', ...
                 'Insufficient fsel values specified, expecting4');
    expect_error(@() kip_fir('config', h, [1 0 0.5 1]), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('config', h, [1 0 -1 1]), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('config', h, ones(2, 2)), 'kip:fir:invalidInput');
    expect_error(@() kip_fir('frobnicate', h), 'kip:fir:usage');
    expect_error(@() kip_fir('send', h, x), 'kip:fir:usage', 'returns one output, not 3', 3);
    expect_error(@() kip_fir('reset', h), 'kip:fir:usage', 'returns no output, not 1', 1);
    expect_error(@() kip_fir(42), 'kip:fir:usage');
    assert(isempty(kip_fir('get', h)));
  elseif b == 2
    kip_fir('reload', h, 1, reload);
    kip_fir('config', h, [1 0 1 1]);
  elseif b == 4
    kip_fir('config', h, uint32([0 0 0 1]));
  end
end
y = cat(3, y, kip_fir('get', h));
same_bits(y, want, 'decimating model');
kip_fir('destroy', h);
expect_error(@() kip_fir('send', h, in(:, :, 1)), 'kip:fir:invalidHandle', 'not a live');
expect_error(@() kip_fir('destroy', h), 'kip:fir:invalidHandle');

%% Outputs wider than 53 bits arrive as int64; one that int64 cannot hold is an error that drops
%% the waiting outputs and leaves the model usable.
wcoeff = read_bin(dir, 'fir_wide_coeff.bin', 'double')';
win = read_bin(dir, 'fir_wide_in.bin', 'double');          % a column: any vector will do
wwant = read_bin(dir, 'fir_wide_out.bin', 'int64')';
lastwarn('');
h = kip_fir('create', struct('coeff', wcoeff, 'coeff_width', 30, 'data_width', 40));
[msg, id] = lastwarn();
assert(strcmp(id, 'kip:fir:warning') && ~isempty(strfind(msg, 'Model will use MPZ data type')));
assert(kip_fir('get_config', h).output_width > 53);
warning('off', 'kip:fir:warning');
kip_fir('send', h, repmat(2^39 - 1, 1, 9));
expect_error(@() kip_fir('get', h), 'kip:fir:outputRange', 'does not fit int64');
kip_fir('reset', h);
same_bits(kip_fir('send', h, win), wwant, 'wide model');
warning('on', 'kip:fir:warning');
kip_fir('destroy', h);

%% Hilbert transformer: complex outputs (delayed input, filter output).
hin = reshape(read_bin(dir, 'fir_hil_in.bin', 'double'), 2, []);
hwant = reshape(read_bin(dir, 'fir_hil_out.bin', 'double'), 2, [], 2);
h = kip_fir('create', struct('filter_type', 3, 'coeff', [-3 0 -9 0 -50 0 50 0 9 0 3], ...
                             'num_channels', 2, 'data_width', 12, 'data_fract_width', 11));
y = kip_fir('send', h, hin);
same_bits(real(y), hwant(:, :, 1), 'Hilbert real part');
same_bits(imag(y), hwant(:, :, 2), 'Hilbert imaginary part');
kip_fir('destroy', h);

%% Advanced channel sequence: a packet without chanpat keeps the previous packet's pattern, and
%% after a reset init_pattern's; outputs collected after every block, as the reference does.
acoeff = read_bin(dir, 'fir_adv_coeff.bin', 'double')';
ain = reshape(read_bin(dir, 'fir_adv_in.bin', 'double'), 4, []);
awant = reshape(read_bin(dir, 'fir_adv_out.bin', 'double'), 4, []);
h = kip_fir('create', struct('coeff', acoeff, 'coeff_sets', 2, 'chan_seq', 1, ...
                             'num_channels', 4, 'init_pattern', 4));
y = zeros(4, 0);
y = [y kip_fir('send', h, ain(:, 1:6))];
kip_fir('config', h, 1, 1);
y = [y kip_fir('send', h, ain(:, 7:11))];
kip_fir('config', h, 0);
y = [y kip_fir('send', h, ain(:, 12:15))];
kip_fir('reset', h);
kip_fir('config', h, 1);
y = [y kip_fir('send', h, ain(:, 16:18))];
same_bits(y, awant, 'advanced channel sequence');
kip_fir('destroy', h);

%% Configuration structs: defaults, refusals by name, library refusals with their text.
d = kip_fir('defaults');
assert(strcmp(d.name, 'tapforge_v6_3') && numel(d.coeff) == 21 && d.output_width == 24);
assert(strcmp(kip_fir('version'), '6.3.1'));
expect_error(@() kip_fir('create', struct('coef', [1 2])), 'kip:fir:invalidConfig', '''coef''');
expect_error(@() kip_fir('create', struct('filter_type', 5)), 'kip:fir:invalidConfig', ...
             'filter_type');
expect_error(@() kip_fir('create', struct('coeff', [1 2 3], 'num_coeffs', 4)), ...
             'kip:fir:invalidConfig', 'num_coeffs * coeff_sets');
expect_error(@() kip_fir('create', struct('num_coeffs', 30)), 'kip:fir:invalidConfig');
expect_error(@() kip_fir('create', struct('coeff', [1 2 NaN])), 'kip:fir:invalidConfig');
expect_error(@() kip_fir('create', struct('num_channels', 2.5)), 'kip:fir:invalidConfig');
expect_error(@() kip_fir('create', struct('num_channels', 'two')), 'kip:fir:invalidConfig');
expect_error(@() kip_fir('create', struct('data_width', 2^40)), 'kip:fir:invalidConfig');
expect_error(@() kip_fir('create', struct('coeff', {[1 2], [3 4]})), 'kip:fir:invalidConfig');
expect_error(@() kip_fir('create', 7), 'kip:fir:invalidConfig');
% The fields are the library's description: the same names as the defaults, in record order.
f = kip_fir('fields');
assert(isequal({f.name}', fieldnames(d)) && all(cellfun(@ischar, {f.help})));
dw = f(strcmp({f.name}, 'data_width'));
assert(strcmp(dw.default, num2str(d.data_width)) && dw.min <= 16 && dw.max >= 16);
expect_error(@() kip_fir('create', struct('data_width', dw.max + 1)), 'kip:fir:invalidConfig', ...
             'data_width');

%% Conversion policy: one warning per call with an identifier, the count and the first x(k).
lastwarn('');
h = kip_fir('create', struct('coeff', [1 2 1], 'decim_rate', 4));     % single rate: ignored
[msg, id] = lastwarn();
assert(strcmp(id, 'kip:fir:ignoredSetting') && ~isempty(strfind(msg, 'decim_rate')), msg);
kip_fir('destroy', h);
h = kip_fir('create', struct('coeff', 1, 'data_width', 16, 'data_fract_width', 15));
lastwarn('');
y = kip_fir('send', h, [0.25 1.0 -1.5 2^-20 0.5 3*2^-16]);
[msg, id] = lastwarn();
assert(strcmp(id, 'kip:fir:inputConverted'), id);
assert(~isempty(strfind(msg, '2 input samples outside the data format')) ...
       && ~isempty(strfind(msg, 'the first x(2)')), msg);
assert(~isempty(strfind(msg, '2 input samples off the data grid')) ...
       && ~isempty(strfind(msg, 'the first x(4)')), msg);
same_bits(y, [0.25 -1.0 0.5 0 0.5 2^-15], 'converted inputs');  % wrapped, rounded down
lastwarn('');
kip_fir('send', h, [0.25 -1.0]);
assert(isempty(lastwarn()));
kip_fir('destroy', h);
h = kip_fir('create', struct('coeff', [1 2 3], 'reloadable', 1));
expect_error(@() kip_fir('reload', h, 0, [1 2 3 4]), 'kip:fir:reloadFailed', 'num_coeffs = 3');
kip_fir('destroy', h);

%% Warnings are warnings with an identifier; turned into errors they leave the model usable.
h = kip_fir('create', struct('coeff', [1 2 3 2 1]));
lastwarn('');
kip_fir('config', h, 0);
[msg, id] = lastwarn();
assert(strcmp(id, 'kip:fir:warning') && ~isempty(strfind(msg, 'Ignoring config packet')));
warning('error', 'kip:fir:warning');
expect_error(@() kip_fir('config', h, 0), 'kip:fir:warning');
warning('on', 'kip:fir:warning');
same_bits(kip_fir('send', h, 0:9), [0 1 4 10 18 27 36 45 54 63], 'model after warnings');

%% 'help kip_fir' prints the usage from the help file beside the MEX file.
usage = evalc('help kip_fir');
assert(~isempty(strfind(usage, "h   = kip_fir('create'[, cfg])")));
assert(~isempty(regexp(which('kip_fir'), '\.mex$', 'once')));

%% Handles of live models; 'clear kip_fir' frees them and invalidates their handles.
h2 = kip_fir('create');
assert(isequal(sort(kip_fir('handles')), sort([h; h2])));
clear kip_fir
assert(isempty(kip_fir('handles')));
expect_error(@() kip_fir('get', h), 'kip:fir:invalidHandle');

%% No memory growth over 10,000 create/send/destroy cycles with refused calls among them.
cfg = struct('filter_type', 2, 'decim_rate', 2, 'num_channels', 2, 'coeff', 1:8);
x = ones(2, 4);
for i = 1:300
  h = kip_fir('create', cfg); kip_fir('send', h, x); kip_fir('destroy', h);
end
before = rss_kb();
for i = 1:10000
  h = kip_fir('create', cfg);
  kip_fir('send', h, x);
  try, kip_fir('send', h, x'); catch, end
  try, kip_fir('create', struct('filter_type', 5)); catch, end
  kip_fir('destroy', h);
end
grown = rss_kb() - before;
printf('kip_fir: resident memory grew by %d kB over 10000 cycles\n', grown);
assert(grown < 1024, 'resident memory grew by %d kB', grown);

%% The README's five lines are examples/fir_spectrum.m; their model part runs here without the
%% plot (the README test and make demo run the plot): the low tone passes, the high one is
%% attenuated by the low-pass filter.
root = fileparts(fileparts(fileparts(mfilename('fullpath'))));
block = regexp(fileread(fullfile(root, 'README.md')), '```matlab\n(.*?)```', 'tokens', 'once');
assert(strcmp(block{1}, fileread(fullfile(root, 'examples', 'fir_spectrum.m'))));
block{1} = regexprep(block{1}, 'plot\(.*', '', 'lineanchors', 'dotexceptnewline');
state = warning('off', 'all');           % addpath of the relative build path
eval(block{1});
warning(state);
assert(isequal(size(y), [1 4096]) && Y(34) > 40 && Y(34) - max(Y(1600:1660)) > 40);

disp('kip_fir tests passed');
