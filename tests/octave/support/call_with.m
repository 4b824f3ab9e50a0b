## out = call_with (args, pos1, value1, pos2, value2, ...)
## Calls sorvik with the argument list args, the inputs at positions pos1,
## pos2, ... replaced by value1, value2, ...
function out = call_with (args, varargin)
  for k = 1:2:numel (varargin)
    args{varargin{k}} = varargin{k + 1};
  endfor
  out = sorvik (args{:});
endfunction
