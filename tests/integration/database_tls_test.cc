// Database connections over TLS, against a MariaDB of its own whose server
// certificate comes from a CA made for the test.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/framework_flags.h"
#include "framework/mariadb.h"
#include "tests/support/biller_process.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

class DatabaseTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = ::testing::TempDir() + "/db-tls-" + std::to_string(::getpid());
    ::mkdir(dir_.c_str(), 0700);
    pki_ = MakeTestPki(dir_);
    port_ = FreePort();
    started_ = std::system(("MARIADB_SSL_DIR=" + dir_ + " " + Script() + " start " + dir_ +
                            "/db " + std::to_string(port_) + " >" + dir_ + "/mariadb.log 2>&1")
                               .c_str()) == 0;
  }
  static void TearDownTestSuite() {
    std::system((Script() + " stop " + dir_ + "/db").c_str());
    std::system(("rm -rf " + dir_).c_str());
  }
  static std::string Script() { return std::string(BILLER_SOURCE_DIR) + "/scripts/mariadb.sh"; }
  static std::vector<std::string> DatabaseFlags(const std::string& ca) {
    return {"--mysql_server_url=127.0.0.1:" + std::to_string(port_), "--mysql_id=biller",
            "--mysql_pw=biller", "--mysql_ssl_ca_file=" + ca, "--bypass=true"};
  }

  static inline std::string dir_;
  static inline TestPki pki_;
  static inline int port_ = 0;
  static inline bool started_ = false;
};

TEST_F(DatabaseTlsTest, ConnectionsUseTlsWhenAsked) {
  ASSERT_TRUE(started_) << "see " << dir_ << "/mariadb.log";
  const std::string option_file = dir_ + "/client.cnf";
  std::ofstream(option_file) << "[client]\nssl-ca=" << pki_.ca << "\nssl-verify-server-cert\n";
  const struct {
    const char* name;
    std::string ca_file, option_file;
    bool encrypted;
  } cases[] = {
      {"plain", "", "", false},
      {"CA file", pki_.ca, "", true},
      {"option file", "", option_file, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FLAGS_mysql_ssl_ca_file = c.ca_file;
    FLAGS_mysql_option_file = c.option_file;
    auto db = Mariadb::Create("127.0.0.1:" + std::to_string(port_), "biller", "biller", "", 1,
                              "utf8", Mariadb::kDefaultAutoRetryOnDeadlock,
                              Mariadb::kDefaultClientFlags, 0,
                              Mariadb::kDefaultConnectionFailureHandler);
    Mariadb::Error error;
    ASSERT_TRUE(db && db->Initialize(&error)) << error;
    auto rows = db->ExecuteQuerySync("SHOW SESSION STATUS LIKE 'Ssl_cipher'", &error);
    ASSERT_TRUE(rows && rows->SeekNextResultSet() && rows->SeekNextRow()) << error;
    EXPECT_EQ(!rows->GetString(1).empty(), c.encrypted) << rows->GetString(1);
  }
  FLAGS_mysql_ssl_ca_file.clear();
  FLAGS_mysql_option_file.clear();
}

TEST_F(DatabaseTlsTest, BillerStartsOnlyWhenTheServerCertificateVerifies) {
  ASSERT_TRUE(started_) << "see " << dir_ << "/mariadb.log";
  BillerProcess biller(BillerOptions{.flags = DatabaseFlags(pki_.ca), .with_database = false});
  EXPECT_TRUE(biller.running()) << biller.Log();
  // A certificate that did not sign the server's.
  const std::string log = RunUntilRefused(
      BillerOptions{.flags = DatabaseFlags(pki_.client_cert), .with_database = false});
  EXPECT_NE(log.find("the database could not be reached"), std::string::npos) << log;
  EXPECT_NE(log.find("certificate"), std::string::npos) << log;
}

}  // namespace
}  // namespace tvx::testing
