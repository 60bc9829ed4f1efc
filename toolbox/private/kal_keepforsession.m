function kal_keepforsession(name, value)
%KAL_KEEPFORSESSION   Keeps a value of the toolbox for the session, or forgets it
%
% The value is kept under NAME in the application data of the root object:
% it lasts as long as the session, and clearing functions or variables does
% not reset it.  An empty VALUE forgets it, so that its getter gives its
% default again.  Used by the setters of the toolbox's session values
% (kal_setboundary, kal_settruncation), which check VALUE first.

if isempty(value)
   if isappdata(0, name), rmappdata(0, name); end
else
   setappdata(0, name, value);
end
