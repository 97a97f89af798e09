// The names by which the service program and the applet meet: the service's
// name in the service manager, and the named event on which the running
// service loads its settings and lists again (the applet signals it after
// Apply and OK).
#pragma once

inline constexpr const char* kServiceName = "Kestrune Mail Service";
inline constexpr const char* kReloadEventName = "Mail Service Event";
