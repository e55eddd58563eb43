% Cross-front-end test, Octave side: runs every case of CASES.json through the kip_fir and kip_fft
% MEX files as an Octave user does and writes each case's words or refusal to RESULTS.json.
%   octave-cli --path <mex dir> cross_octave.m CASES.json RESULTS.json
args = argv();
cases = jsondecode(fileread(args{1}));
if isstruct(cases)
  cases = num2cell(cases);
end
warning('off', 'all');
results = struct();

function t = word_text(v)
  % Exact decimal text of integer-valued doubles or int64 values.
  if isinteger(v)
    t = arrayfun(@(x) sprintf('%d', x), v(:), 'UniformOutput', false);
  else
    t = arrayfun(@(x) sprintf('%.0f', x), v(:), 'UniformOutput', false);
  end
end

for k = 1:numel(cases)
  c = cases{k};
  r = struct('status', 'ok');
  try
    if strcmp(c.kind, 'fir')
      cfg = c.config;
      if isempty(cfg)
        cfg = struct();
      end
      if isfield(cfg, 'coeff')
        cfg.coeff = cfg.coeff(:).';
      end
      h = kip_fir('create', cfg);
      done = kip_fir('get_config', h);
      x = reshape(double(c.input_words(:)) * 2^-double(done.data_fract_width), ...
                  done.num_paths, done.num_channels, []);
      y = kip_fir('send', h, x);
      kip_fir('destroy', h);
      if iscomplex(y) || done.filter_type == 3
        % Real part: the delayed input, in the data format; imaginary part: the output.
        w = [real(y(:)).' * 2^double(done.data_fract_width); ...
             imag(y(:)).' * 2^double(done.output_fract_width)];
        r.words = word_text(w(:));
      elseif isinteger(y)
        r.words = word_text(y);
      else
        r.words = word_text(y * 2^double(done.output_fract_width));
      end
    else
      g = c.generics;
      if isempty(g)
        g = struct();
      end
      h = kip_fft('create', g);
      gg = kip_fft('generics', h);
      frames = c.frames;
      words = {};
      blk = [];
      ovf = [];
      sch = [];
      if ~isempty(c.scaling)
        sch = c.scaling(:).';
      end
      for f = 1:size(frames, 1)
        w = double(frames(f, :));
        if gg.C_USE_FLT_PT
          v = double(typecast(uint32(w), 'single'));
        else
          v = w * 2^-(double(gg.C_INPUT_WIDTH) - 1);
        end
        x = complex(v(1:2:end), v(2:2:end)).';
        [xk, b, o] = kip_fft('transform', h, x, sch, c.direction);
        if gg.C_USE_FLT_PT
          pair = [typecast(single(real(xk)), 'uint32'), typecast(single(imag(xk)), 'uint32')].';
          words = [words; word_text(double(pair(:)))];
        else
          pair = [real(xk), imag(xk)].' * 2^(double(gg.C_INPUT_WIDTH) - 1);
          words = [words; word_text(pair(:))];
        end
        blk(end + 1) = b;
        ovf(end + 1) = o;
      end
      kip_fft('destroy', h);
      r.words = words;
      r.blk_exp = blk;
      r.overflow = ovf;
    end
  catch err
    r = struct('status', 'refused', 'message', [err.identifier ': ' err.message]);
  end
  if isfield(r, 'words')
    r.words = r.words(:).';
  end
  results.(c.id) = r;
end
fid = fopen(args{2}, 'w');
fputs(fid, jsonencode(results));
fclose(fid);
