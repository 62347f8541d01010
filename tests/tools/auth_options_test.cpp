// tevmail's --auth and OAuth token options.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "auth_options.h"
#include "status.h"

namespace {

using tevmail::AuthChoice;
using tevmail::Options;

TEST(AuthOptions, MechanismListTokenFileAndEnvironment) {
    Options options;
    options.add("--auth", "scram-sha-256,CRAM-MD5 plain");
    AuthChoice choice;
    std::string problem;
    EXPECT_EQ(tevmail::parseAuth(options, "env-token\n", &choice, &problem), tevmail::kGoOn) << problem;
    EXPECT_EQ(choice.mechanisms, "SCRAM-SHA-256 CRAM-MD5 PLAIN");
    EXPECT_EQ(choice.token, "env-token");

    const std::string path = testing::TempDir() + "token.txt";
    FILE *file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("ya29.file-token\r\n", file);
    std::fclose(file);
    Options fromFile;
    fromFile.add("--oauth-token-file", path);
    AuthChoice second;
    EXPECT_EQ(tevmail::parseAuth(fromFile, "env-token", &second, &problem), tevmail::kGoOn) << problem;
    EXPECT_EQ(second.token, "ya29.file-token");  // the file wins over the environment
    EXPECT_EQ(second.mechanisms, "");

    Options unknown;
    unknown.add("--auth", "PLAIN,NTLM");
    AuthChoice third;
    EXPECT_EQ(tevmail::parseAuth(unknown, nullptr, &third, &problem), tevmail::kExitUsage);
    EXPECT_EQ(problem, "--auth does not know the mechanism 'NTLM'");
    Options empty;
    empty.add("--auth", ",");
    EXPECT_EQ(tevmail::parseAuth(empty, nullptr, &third, &problem), tevmail::kExitUsage);
    Options missing;
    missing.add("--oauth-token-file", testing::TempDir() + "no-such-token");
    EXPECT_EQ(tevmail::parseAuth(missing, nullptr, &third, &problem), tevmail::kExitUsage);
    AuthChoice fourth;
    EXPECT_EQ(tevmail::parseAuth(Options(), "two\nlines", &fourth, &problem), tevmail::kExitUsage);
}

}  // namespace
