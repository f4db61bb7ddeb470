#include "channel_glob.h"

#include <glob.h>

#include <set>

std::vector<vm_endpoint> scan_channel_globs(const std::vector<std::string>& patterns) {
    std::vector<vm_endpoint> found;
    std::set<std::string> paths;
    for (const std::string& pattern : patterns) {
        glob_t matches = {};
        if (glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                vm_endpoint vm;
                vm.where.path = matches.gl_pathv[i];
                vm.name = vm_name_from_channel_path(vm.where.path);
                if (paths.insert(vm.where.path).second) found.push_back(vm);
            }
        }
        globfree(&matches);
    }
    return found;
}
