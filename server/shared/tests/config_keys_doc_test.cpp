// The documentation names every key of the table, so that a key added to
// the daemon cannot go unexplained.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "config_keys.h"

namespace {

std::string read_source(const std::string &relative) {
    std::ifstream in(std::string(VALDRIN_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// How a page names a key: a family by its first member.
std::string first_name(const valdrin::keys::Key &key) {
    return std::string(key.name) + (key.family_size > 0 ? "0" : "");
}

TEST(KeyDocumentation, TheManualPageNamesEveryKeyInItsSection) {
    const std::string page = read_source("host/man/valdrin.conf.5.scd");
    ASSERT_FALSE(page.empty());
    for (const valdrin::keys::Key &key : valdrin::keys::kKeys) {
        const size_t section = page.find("# [" + std::string(key.section) + "]");
        ASSERT_NE(section, std::string::npos) << key.section;
        const size_t next = page.find("\n# ", section + 1);
        const std::string body = page.substr(section, next - section);
        EXPECT_NE(body.find("*" + first_name(key) + "*"), std::string::npos)
            << first_name(key) << " is not described in the section " << key.section << " of valdrin.conf(5)";
    }
}

TEST(KeyDocumentation, TheReadmesTableNamesEveryKeyWithItsSection) {
    const std::string readme = read_source("README.md");
    ASSERT_FALSE(readme.empty());
    for (const valdrin::keys::Key &key : valdrin::keys::kKeys) {
        bool found = false;
        for (size_t at = readme.find("| `[" + std::string(key.section) + "]` |"); at != std::string::npos && !found;
             at = readme.find("| `[" + std::string(key.section) + "]` |", at + 1)) {
            const std::string row = readme.substr(at, readme.find('\n', at) - at);
            found = row.find("`" + first_name(key) + "`") != std::string::npos;
        }
        EXPECT_TRUE(found) << first_name(key) << " has no row of section " << key.section << " in the README's table";
    }
}

}  // namespace
