// Internal to the Linux service manager: the runtime state of a service in
// run/services/<name>/, shared by the manager's side (service_manager.cpp)
// and the service process's side (service_dispatcher.cpp).
//
//   pid       "<pid> <start time>\n", written when the process is started.
//             The start time (field 22 of /proc/<pid>/stat) tells a
//             recycled pid apart.
//   status    "<state> <accepted> <win32 exit> <service exit> <check point>
//             <wait hint> <controls handled>\n", replaced atomically
//             (rename) by the service process at every SetStatus and after
//             every control its handler has run.
//   control   a FIFO (0600) that the dispatcher reads; a control is one
//             4-byte little-endian code, written in one piece (atomic).
//   output.log  standard output and error of the service process.
//
// A service whose recorded process is gone (or is a zombie, or is another
// process with the same pid) is stopped, whatever its status file says.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/ascii.h"
#include "platform/service_manager.h"

namespace platform::service_state {

inline constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
// Set in the environment of a process the manager starts: the service name.
inline constexpr const char* kServiceNameVariable = "QUILLPOST_SERVICE_NAME";
// Reported for a service process that ended without reporting "stopped".
inline constexpr LONG kErrorProcessAborted = 1067;

// LastServiceError() of the calling thread.
bool Fail(LONG code);
void Succeed();

// Service names become a registry key and a folder name: no separators and
// nothing that names a parent folder.
bool IsValidName(std::string_view name);
std::string ServiceKeyPath(std::string_view name);
// The name as the database spells it; false when the service is not installed.
bool StoredName(std::string_view name, std::string& stored);

std::string StateFolder(const std::string& stored);
bool EnsureStateFolder(const std::string& folder);

bool ReadPidFile(const std::string& folder, pid_t& pid, unsigned long long& start_time);
bool WritePidFile(const std::string& folder, pid_t pid);
// True while the process recorded for the service still runs.
bool ServiceProcessAlive(const std::string& folder);

struct StoredStatus {
  ServiceStatus status;
  unsigned long long handled = 0;  // controls the dispatcher has run
};
bool ReadStatusFile(const std::string& folder, StoredStatus& out);
bool WriteStatusFile(const std::string& folder, const StoredStatus& s);
// The status as a query reports it; *alive tells whether the process runs.
StoredStatus CurrentStatus(const std::string& folder, bool* alive = nullptr);

// Descriptor I/O that rides over EINTR and short transfers.
bool ReadFull(int fd, void* buffer, std::size_t size);
void WriteAll(int fd, const void* data, std::size_t size);

}  // namespace platform::service_state
