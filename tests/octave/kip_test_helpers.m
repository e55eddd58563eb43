% Shared helpers of the Octave tests (a script: run it to define the functions).
1;

function expect_error(f, id, text, nout)
  % f() must raise an error with identifier id (and, if given, a message containing text);
  % f is called for nout outputs (default none).
  if nargin < 4
    nout = 0;
  end
  try
    out = cell(1, nout);
    [out{:}] = f();
  catch err
    if ~strcmp(err.identifier, id)
      error('test:fail', 'expected error %s, got %s: %s', id, err.identifier, err.message);
    end
    if nargin > 2 && ~isempty(text) && isempty(strfind(err.message, text))
      error('test:fail', 'error %s lacks "%s": %s', id, text, err.message);
    end
    return;
  end
  error('test:fail', 'expected error %s; the call succeeded', id);
end

function same_bits(got, want, what)
  % got and want hold the same values, bit for bit (signed zeros included), in the same class.
  if ~strcmp(class(got), class(want)) || ~isequal(size(got), size(want))
    error('test:fail', '%s: got %s %s, want %s %s', what, class(got), mat2str(size(got)), ...
          class(want), mat2str(size(want)));
  end
  if isfloat(got)
    g = typecast(double(got(:)), 'uint64');
    w = typecast(double(want(:)), 'uint64');
  else
    g = got(:);
    w = want(:);
  end
  bad = find(g ~= w, 1);
  if ~isempty(bad)
    error('test:fail', '%s: element %d differs: %.17g, want %.17g', what, bad, ...
          double(got(bad)), double(want(bad)));
  end
end

function v = read_bin(dir, name, type)
  fid = fopen(fullfile(dir, name), 'r');
  if fid < 0
    error('test:fail', 'cannot open %s', fullfile(dir, name));
  end
  v = fread(fid, Inf, ['*' type]);
  fclose(fid);
end

function kb = rss_kb()
  % Resident set size of this process in kB.
  txt = fileread('/proc/self/status');
  tok = regexp(txt, 'VmRSS:\s*(\d+)', 'tokens', 'once');
  kb = str2double(tok{1});
end

function run_reference(prog, dir)
  [status, out] = system(sprintf('"%s" "%s" 2>&1', prog, dir));
  if status ~= 0
    error('test:fail', '%s failed: %s', prog, out);
  end
end
