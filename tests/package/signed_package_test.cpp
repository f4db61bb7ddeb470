// A signed package (the executable signed, packaged, the package signed) installs, and the
// installed service is the signed program and serves the device.
#include <gtest/gtest.h>

#include <string>

#include "e2e/agent_process.h"
#include "e2e/pipe_host.h"
#include "package/installer.h"

TEST(signed_package, installs_the_signed_program_and_its_service_answers) {
    std::string msi = windows_path_from_env("VORNA_SIGNED_MSI");
    std::string upgrade_code = package_property(msi, "UpgradeCode");
    ASSERT_TRUE(related_products(upgrade_code).empty());
    package_cleanup cleanup(upgrade_code);

    pipe_host host(unique_pipe_path("msi-signed"));
    msiexec_result installed = install_package(msi, host.path().c_str());
    ASSERT_EQ(installed.status, 0u) << installed.log;
    EXPECT_EQ(read_file(expected_installed_exe()),
              read_file(windows_path_from_env("VORNA_SIGNED_EXE")));
    ASSERT_TRUE(host.wait_for_agent(20000)) << "the service never opened " << host.path();
    ASSERT_TRUE(host.send("PING"));
    EXPECT_EQ(host.receive(4, 5000), "PONG");

    ASSERT_TRUE(stop_service_and_wait());
    msiexec_result removed = uninstall_package(package_property(msi, "ProductCode"));
    EXPECT_EQ(removed.status, 0u) << removed.log;
}
