#include "vm_name.h"

#include <map>

#include "protocol.h"

namespace {

bool refused_code_point(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::optional<std::string> vm_name_problem(std::string_view name) {
    if (name.empty()) return "empty";
    for (std::size_t i = 0; i < name.size();) {
        auto lead = static_cast<unsigned char>(name[i]);
        std::size_t length = lead < 0x80                   ? 1
                             : lead >= 0xc2 && lead <= 0xdf ? 2
                             : lead >= 0xe0 && lead <= 0xef ? 3
                             : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                            : 0;
        if (length == 0 || i + length > name.size()) return "not valid UTF-8";
        char32_t code = length == 1 ? lead : lead & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(name[i + k]);
            if ((next & 0xc0) != 0x80) return "not valid UTF-8";
            code = (code << 6) | (next & 0x3f);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
        if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff)) ||
            (code >= 0xd800 && code <= 0xdfff))
            return "not valid UTF-8";
        if (refused_code_point(code)) return "a control character";
        i += length;
    }
    return std::nullopt;
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
