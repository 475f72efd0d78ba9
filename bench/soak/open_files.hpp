#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quillbeam::soak {

// The descriptors a live process holds, from /proc/<pid>/fd, each as "<fd> -> <target>"
// (pipe:[...], socket:[...], anon_inode:[eventfd], a path). Empty when the process is gone.
std::vector<std::string> openFiles(pid_t pid);

}  // namespace quillbeam::soak
