function seen = kx_settings_in_worker(gamma)
% The GammaGrey a worker starts with, then the one it set: [before, after].
  before = kalsettings(0, 'GammaGrey');
  kalsettings(1, 'GammaGrey', gamma);
  seen = [before, kalsettings(0, 'GammaGrey')];
end
