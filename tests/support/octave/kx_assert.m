function kx_assert(condition, varargin)
% KX_ASSERT(CONDITION, FORMAT, ...) fails the test when CONDITION is false.
  if ~all(logical(condition(:)))
    if isempty(varargin)
      error('kx:fail', 'check failed');
    end
    error('kx:fail', varargin{:});
  end
end
