#include "vm_name.h"

#include <map>

#include "protocol.h"
#include "safe_text.h"

std::optional<std::string> vm_name_problem(std::string_view name) {
    if (name.empty()) return "empty";
    return text_problem(name);
}

std::string shown_name(std::string_view name) {
    return vm_name_problem(name) ? printable(name, 300) : std::string(name);
}

std::vector<std::string> assign_vm_names(const std::vector<found_vm>& found,
                                         const std::set<std::string>& in_use,
                                         std::vector<std::string>* warnings) {
    std::map<std::string, int> found_with;
    for (const found_vm& vm : found) ++found_with[vm.name];
    std::set<std::string> taken = in_use;
    std::vector<std::string> names;
    for (const found_vm& vm : found) {
        bool shared = found_with[vm.name] > 1 || taken.count(vm.name) != 0;
        if (!shared) {
            taken.insert(vm.name);
            names.push_back(vm.name);
        } else if (!vm.distinct_name.empty() && vm.distinct_name != vm.name &&
                   taken.insert(vm.distinct_name).second) {
            warnings->push_back("two VMs are named " + vm.name + ": this one is exported as " +
                                vm.distinct_name);
            names.emplace_back(vm.distinct_name);
        } else {
            warnings->push_back("two VMs are named " + vm.name + " and this one (" +
                                vm.distinct_name + ") cannot be told apart: not polled");
            names.emplace_back();
        }
    }
    return names;
}
