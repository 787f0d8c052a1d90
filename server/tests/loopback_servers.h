// Small servers on loopback for the server's unit tests: an FTP server
// with a scripted dialogue and an HTTP origin that records what it gets.
// Each serves one client on a thread of its own and is joined on
// destruction.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "kelplat/net.h"

namespace kel::server::test {

// A listening socket on 127.0.0.1 with a kernel-chosen port.
class Listener {
public:
    Listener() {
        s_ = kel::net::open(kel::net::Kind::Stream);
        EXPECT_NE(s_, kel::net::kInvalidSocket);
        EXPECT_TRUE(kel::net::bind(s_, kel::net::addr_from_octets(127, 0, 0, 1), 0));
        EXPECT_TRUE(kel::net::listen(s_, 8));
        port_ = kel::net::local_port(s_);
    }
    ~Listener() { close(); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    uint16_t port() const { return port_; }
    kel::net::Socket socket() const { return s_; }
    kel::net::Socket accept() { return kel::net::accept(s_, nullptr); }
    void close() {
        if (s_ != kel::net::kInvalidSocket) kel::net::close(s_);
        s_ = kel::net::kInvalidSocket;
    }
    // Wakes a thread blocked in accept(): connects once and closes.
    void poke() const {
        kel::net::Socket c = kel::net::open(kel::net::Kind::Stream);
        kel::net::connect(c, kel::net::addr_from_octets(127, 0, 0, 1),
                          kel::net::host_to_net16(port_));
        kel::net::close(c);
    }

private:
    kel::net::Socket s_ = kel::net::kInvalidSocket;
    uint16_t port_ = 0;
};

// A port on which nothing listens: bound by the kernel, then released.
inline uint16_t closed_port() {
    Listener l;
    uint16_t port = l.port();
    l.close();
    return port;
}

inline bool send_text(kel::net::Socket s, const std::string &text) {
    return kel::net::send(s, text.data(), text.size()) == static_cast<long>(text.size());
}

// One line up to LF, at most 4096 bytes; "" when the peer closes first.
inline std::string read_line(kel::net::Socket s) {
    std::string line;
    char c;
    while (line.size() < 4096 && kel::net::recv(s, &c, 1) == 1) {
        line += c;
        if (c == '\n') return line;
    }
    return "";
}

// Reads up to and including the blank line that ends a header.
inline std::string read_header(kel::net::Socket s) {
    std::string header;
    char c;
    while (header.size() < 65536 && kel::net::recv(s, &c, 1) == 1) {
        header += c;
        if (header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0) break;
    }
    return header;
}

struct FtpScript {
    bool refuse_login = false;
    bool file_exists = true;
    std::string content;
};

class MiniFtpServer {
public:
    explicit MiniFtpServer(FtpScript script) : script_(std::move(script)) {
        thread_ = std::thread([this] { run(); });
    }
    ~MiniFtpServer() {
        stopping_ = true;
        if (!served_) control_.poke();
        thread_.join();
    }
    uint16_t port() const { return control_.port(); }
    bool retrieved() const { return retrieved_; }

private:
    void run() {
        kel::net::Socket c = control_.accept();
        served_ = true;
        if (c == kel::net::kInvalidSocket) return;
        if (!stopping_) dialogue(c);
        kel::net::close(c);
    }

    void dialogue(kel::net::Socket c) {
        send_text(c, "220 mini FTP ready\r\n");
        for (int commands = 0; commands < 64; ++commands) {
            std::string line = read_line(c);
            if (line.empty()) return;
            std::string verb = line.substr(0, line.find_first_of(" \r\n"));
            if (verb == "USER") {
                send_text(c, "331 password please\r\n");
            } else if (verb == "PASS") {
                send_text(c, script_.refuse_login ? "530 Login incorrect\r\n" : "230 logged in\r\n");
            } else if (verb == "PWD") {
                send_text(c, "257 \"/\" is the current directory\r\n");
            } else if (verb == "CWD") {
                send_text(c, "250 ok\r\n");
            } else if (verb == "TYPE") {
                send_text(c, "200 ok\r\n");
            } else if (verb == "SIZE") {
                send_text(c, script_.file_exists
                                 ? "213 " + std::to_string(script_.content.size()) + "\r\n"
                                 : std::string("550 no such file\r\n"));
            } else if (verb == "EPSV") {
                data_ = std::make_unique<Listener>();
                send_text(c, "229 Entering Extended Passive Mode (|||" +
                                 std::to_string(data_->port()) + "|)\r\n");
            } else if (verb == "RETR") {
                if (!script_.file_exists || !data_) {
                    send_text(c, "550 no such file\r\n");
                    continue;
                }
                send_text(c, "150 opening data connection\r\n");
                kel::net::Socket d = data_->accept();
                send_text(d, script_.content);
                kel::net::close(d);
                retrieved_ = true;
                send_text(c, "226 transfer complete\r\n");
            } else if (verb == "QUIT") {
                send_text(c, "221 bye\r\n");
                return;
            } else {
                send_text(c, "502 not implemented\r\n");
            }
        }
    }

    FtpScript script_;
    Listener control_;
    std::unique_ptr<Listener> data_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> served_{false};
    std::atomic<bool> retrieved_{false};
    std::thread thread_;
};

// An HTTP origin: records one request header and answers with a fixed reply,
// then closes.
class RecordingOrigin {
public:
    explicit RecordingOrigin(std::string reply) : reply_(std::move(reply)) {
        thread_ = std::thread([this] {
            kel::net::Socket c = listener_.accept();
            served_ = true;
            if (c == kel::net::kInvalidSocket || stopping_) {
                if (c != kel::net::kInvalidSocket) kel::net::close(c);
                return;
            }
            received_ = read_header(c);
            send_text(c, reply_);
            kel::net::close(c);
        });
    }
    ~RecordingOrigin() { join(); }
    uint16_t port() const { return listener_.port(); }
    // The header received; joins the thread first.
    const std::string &received() {
        join();
        return received_;
    }
    bool contacted() {
        join();
        return !received_.empty();
    }

private:
    void join() {
        if (!thread_.joinable()) return;
        stopping_ = true;
        if (!served_) listener_.poke();
        thread_.join();
    }
    std::string reply_;
    Listener listener_;
    std::string received_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> served_{false};
    std::thread thread_;
};

}  // namespace kel::server::test
