// A temporary HOME for tool tests: an empty ~/.config/tevmail, a configuration file written on request, the whole
// tree removed afterwards.
#pragma once

#include "support/real_servers.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

namespace tevtest {

class TempHome {
public:
    explicit TempHome(const char *prefix) {
        std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
        const char *made = ::mkdtemp(pattern.data());
        path_ = made != nullptr ? made : "";
        ::mkdir((path_ + "/.config").c_str(), 0700);
        ::mkdir((path_ + "/.config/tevmail").c_str(), 0700);
    }
    ~TempHome() {
        if (!path_.empty()) runCommand({"/bin/rm", "-rf", path_}, 10000, nullptr);
    }
    TempHome(const TempHome &) = delete;
    TempHome &operator=(const TempHome &) = delete;
    const std::string &path() const { return path_; }
    void writeConfig(const std::string &text, mode_t mode = 0600) const {
        const std::string file = path_ + "/.config/tevmail/config";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        ::chmod(file.c_str(), mode);
    }

protected:
    std::string path_;
};

}  // namespace tevtest
