// Database connections over TLS, against a MariaDB of its own whose server
// certificate comes from a CA made for the test.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "framework/framework_flags.h"
#include "framework/mariadb.h"
#include "tests/support/biller_process.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

// One test, so that one MariaDB is started for it.
TEST(DatabaseTlsTest, ConnectionsUseTlsWhenAskedAndRefuseAServerTheCaDidNotSign) {
  if (!PrivateMariadb::available()) GTEST_SKIP() << "no mariadbd";
  const std::string dir = ::testing::TempDir() + "/db-tls-" + std::to_string(::getpid());
  ::mkdir(dir.c_str(), 0700);
  const TestPki pki = MakeTestPki(dir);
  ::setenv("MARIADB_SSL_DIR", dir.c_str(), 1);
  PrivateMariadb server;
  const bool started = server.Start();
  ::unsetenv("MARIADB_SSL_DIR");
  ASSERT_TRUE(started);
  const std::string address = server.url();

  const std::string option_file = dir + "/client.cnf";
  std::ofstream(option_file) << "[client]\nssl-ca=" << pki.ca << "\nssl-verify-server-cert\n";
  // CA file, option file: neither (plain), or either (encrypted).
  for (const auto& [ca_file, options] : {std::pair<std::string, std::string>{"", ""},
                                         {pki.ca, ""}, {"", option_file}}) {
    SCOPED_TRACE(ca_file + options);
    FLAGS_mysql_ssl_ca_file = ca_file;
    FLAGS_mysql_option_file = options;
    auto db = Mariadb::Create(address, "biller", "biller", "", 1, "utf8",
                              Mariadb::kDefaultAutoRetryOnDeadlock, Mariadb::kDefaultClientFlags,
                              0, Mariadb::kDefaultConnectionFailureHandler);
    Mariadb::Error error;
    ASSERT_TRUE(db && db->Initialize(&error)) << error;
    auto rows = db->ExecuteQuerySync("SHOW SESSION STATUS LIKE 'Ssl_cipher'", &error);
    ASSERT_TRUE(rows && rows->SeekNextResultSet() && rows->SeekNextRow()) << error;
    EXPECT_EQ(rows->GetString(1).empty(), ca_file.empty() && options.empty());
  }
  FLAGS_mysql_ssl_ca_file.clear();
  FLAGS_mysql_option_file.clear();

  // The biller itself: started with the CA, refused with a certificate that
  // did not sign the server's.
  auto options = [&](const std::string& ca) {
    return BillerOptions{.flags = {"--mysql_server_url=" + address, "--mysql_id=biller",
                                   "--mysql_pw=biller", "--mysql_ssl_ca_file=" + ca,
                                   "--bypass=true"},
                         .with_database = false};
  };
  EXPECT_TRUE(BillerProcess(options(pki.ca)).running());
  const std::string refused = RunUntilRefused(options(pki.client_cert));
  EXPECT_TRUE(refused.find("the database could not be reached") != std::string::npos &&
              refused.find("certificate") != std::string::npos) << refused;
}

}  // namespace
}  // namespace tvx::testing
