# Sourced by the scripts that run an Octave test.
# octave_eval PRELUDE RUN COMMAND...: runs COMMAND (octave-cli, or a wrapper
# and octave-cli) evaluating the Octave code PRELUDE, then RUN; an error in
# RUN is printed with its stack on stderr and makes the status 1.  Not run
# with exec, so that the caller's EXIT trap still removes its temporary
# folder.
octave_eval() {
  local prelude=$1 run=$2
  shift 2
  "$@" --no-gui --norc --no-history --quiet --no-window-system --eval "
  $prelude
  try
    $run;
  catch err
    fprintf(2, 'FAILED: %s\n', err.message);
    for k = 1:numel(err.stack), fprintf(2, '  at %s line %d\n', err.stack(k).name, err.stack(k).line); end
    exit(1);
  end
  exit(0);"
}
