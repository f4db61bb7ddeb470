#include <gtest/gtest.h>

#include "vm_name.h"

namespace {

TEST(VmNameTest, OnlyPrintableUtf8Names) {
    const std::pair<std::string, bool> cases[] = {
        {"win10", true},
        {"web-01.example", true},
        {"büro-\xe6\x9c\xba", true},     // Latin and CJK letters
        {"emoji-\xf0\x9f\x96\xa5", true},  // U+1F5A5
        {"", false},
        {"a\nb", false},
        {"a\rb", false},
        {"a\x1b[2Jb", false},
        {"a\x7f", false},
        {"a\xc2\x9b", false},          // C1: CSI
        {"a\xe2\x80\xae", false},      // right-to-left override
        {"a\xe2\x81\xa6", false},      // left-to-right isolate
        {"a\xff", false},
        {"a\xc3", false},              // cut short
        {"a\xc0\xaf", false},          // overlong
        {"a\xed\xa0\x80", false},      // surrogate
        {"a\xf4\x90\x80\x80", false},  // past U+10FFFF
    };
    for (const auto& [name, valid] : cases)
        EXPECT_EQ(!vm_name_problem(name).has_value(), valid) << name;
}

TEST(VmNameTest, VmsOfOneNameAreToldApartOrNotPolled) {
    std::vector<std::string> warnings;
    // Two VMs whose names libvirt cut to the same 20 characters, and one named like a VM in use.
    std::vector<std::string> names = assign_vm_names(
        {{"accounting-server-20", "domain-4-accounting-server-20"},
         {"accounting-server-20", "domain-9-accounting-server-20"},
         {"web", "domain-5-web"},
         {"db", "domain-6-db"}},
        {"web"}, &warnings);
    EXPECT_EQ(names, (std::vector<std::string>{"domain-4-accounting-server-20",
                                               "domain-9-accounting-server-20", "domain-5-web",
                                               "db"}));
    EXPECT_EQ(warnings.size(), 3u);

    // Without a distinct name to fall back on, neither.
    warnings.clear();
    names = assign_vm_names({{"x", "x"}, {"x", "x"}}, {}, &warnings);
    EXPECT_EQ(names, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(warnings.size(), 2u);
}

}  // namespace
