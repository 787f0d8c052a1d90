// Helpers shared by the server's unit tests: temporary folders, a
// configuration file, socket pairs and whole-reply reads.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "kelconfig.h"
#include "kelplat/net.h"

namespace kel::server::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed at the end;
// optionally the current directory for the test's duration.
class TempFolder {
public:
    TempFolder() {
        std::random_device random;
        path_ = fs::temp_directory_path() /
                ("valdrin_server_test_" + std::to_string(random()) + "_" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        if (entered_) fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    const fs::path &path() const { return path_; }
    void enter() {
        previous_ = fs::current_path();
        fs::current_path(path_);
        entered_ = true;
    }
    fs::path write(const std::string &name, const std::string &bytes) const {
        fs::path file = path_ / name;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << bytes;
        return file;
    }

private:
    fs::path path_;
    fs::path previous_;
    bool entered_ = false;
};

// Writes an INI text and points the configuration store at it.
inline void use_configuration(const TempFolder &folder, const std::string &ini) {
    fs::path file = folder.write("valdrin.conf", ini);
    ASSERT_EQ(kelcfg_init(file.c_str()), 0);
}

// A connected pair of local stream sockets, closed at the end unless
// closed earlier.
class SocketPair {
public:
    SocketPair() { EXPECT_TRUE(kel::net::stream_pair(s_)); }
    ~SocketPair() {
        close_proxy_side();
        close_peer_side();
    }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;

    kel::net::Socket proxy_side() const { return s_[0]; }
    kel::net::Socket peer_side() const { return s_[1]; }
    void close_proxy_side() {
        if (s_[0] != kel::net::kInvalidSocket) kel::net::close(s_[0]);
        s_[0] = kel::net::kInvalidSocket;
    }
    // The proxy side was closed by the code under test.
    void forget_proxy_side() { s_[0] = kel::net::kInvalidSocket; }
    void close_peer_side() {
        if (s_[1] != kel::net::kInvalidSocket) kel::net::close(s_[1]);
        s_[1] = kel::net::kInvalidSocket;
    }
    // Everything the proxy side sent, once it has been closed.
    std::string read_all_from_proxy() {
        close_proxy_side();
        return read_to_end(s_[1]);
    }
    void send_from_peer(const std::string &bytes) {
        ASSERT_EQ(kel::net::send(s_[1], bytes.data(), bytes.size()),
                  static_cast<long>(bytes.size()));
    }

    static std::string read_to_end(kel::net::Socket s) {
        std::string all;
        char block[4096];
        for (int reads = 0; reads < 100000; ++reads) {
            long n = kel::net::recv(s, block, sizeof block);
            if (n <= 0) break;
            all.append(block, static_cast<size_t>(n));
        }
        return all;
    }

private:
    kel::net::Socket s_[2] = {kel::net::kInvalidSocket, kel::net::kInvalidSocket};
};

inline uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return kel::net::addr_from_octets(a, b, c, d);
}

}  // namespace kel::server::test
