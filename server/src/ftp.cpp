// ftp:// URLs fetched with libcurl and streamed back to the browser.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "handlers.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "pages.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_http";
}

namespace kel::server {
namespace {

std::atomic<uint64_t> g_curl_handles_created{0};

// The transfer record the callbacks get: the contract's record first, so
// that its routines take it as it is, and the connection whose exchange
// counts what reaches the client (null for a record of the contract alone).
struct FtpTransfer {
    http_mem_buf buf;
    Connection *conn;
};
static_assert(std::is_standard_layout_v<FtpTransfer>);

void send_ftp_header(http_mem_buf *buf, Connection *conn) {
    kelnet_envoie_str(buf->sd_client, kFtpReplyHeader);
    if (conn != nullptr) {
        conn->note_reply(200, sizeof kFtpReplyHeader - 1);
        conn->note_verdict(Verdict::Ftp);
    }
}

size_t stream_data(char *data, size_t size, size_t count, http_mem_buf *buf, Connection *conn) {
    const size_t bytes = size * count;
    if (buf->header_sent == 0) {
        if (buf->ptr == nullptr) {
            KEL_DIAG();
            return 0;
        }
        send_ftp_header(buf, conn);
        buf->header_sent = 1;
    }
    if (kelnet_est_connecte(buf->sd_client) != 1) return 0;
    if (bytes > 0x7FFFFFFF || kelnet_envoie(buf->sd_client, data, static_cast<int32_t>(bytes)) < 0) {
        KEL_DIAG();
        return 0;
    }
    if (conn != nullptr) conn->add_bytes_to_client(bytes);
    return bytes;
}

size_t stream_to_connection(char *data, size_t size, size_t count, void *user) {
    auto *transfer = static_cast<FtpTransfer *>(user);
    return stream_data(data, size, count, &transfer->buf, transfer->conn);
}

}  // namespace

CURL *new_curl_handle() {
    g_curl_handles_created.fetch_add(1, std::memory_order_relaxed);
    return curl_easy_init();
}

uint64_t curl_handles_created() { return g_curl_handles_created.load(std::memory_order_relaxed); }

int32_t fetch_ftp(Connection &conn, kelHttpEntete *che, CURL *curl) {
    // A handle given by the caller stays the caller's; otherwise this
    // request has one of its own.
    std::unique_ptr<CURL, void (*)(CURL *)> own(nullptr, &curl_easy_cleanup);
    if (curl == nullptr) {
        own.reset(new_curl_handle());
        if (!own) {
            send_error_page(conn, HTTP_INTERNAL_ERROR);
            KEL_DIAG();
            return -1;
        }
        curl = own.get();
    }
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    std::unique_ptr<char, void (*)(void *)> url(kelHttpE_en_str_uri(che, 1), &std::free);
    if (!url) {
        send_error_page(conn, HTTP_REQUETE_INVALIDE);
        KEL_DIAG();
        return -1;
    }
    FtpTransfer transfer{{0, nullptr, conn.sd(), 0, HTTP_NONE, 0}, &conn};
    curl_easy_setopt(curl, CURLOPT_URL, url.get());
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, http_callback_header_ftp);
    curl_easy_setopt(curl, CURLOPT_WRITEHEADER, &transfer.buf);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, stream_to_connection);
    curl_easy_setopt(curl, CURLOPT_FILE, &transfer);
    // Connection threads must not get signals from libcurl's time-outs, a
    // proxy from the environment must not divert the transfer, and a URL
    // may only ever be fetched by FTP.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
    const Limits &limits = conn.config().http.limits;
    if (limits.connect_timeout > 0)
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connect_timeout));
    if (limits.idle_timeout > 0) {
        // A transfer that moves nothing for the idle time is given up.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.idle_timeout));
    }
    const CURLcode result = curl_easy_perform(curl);
    if (transfer.buf.header_sent == 0) {
        if (result == CURLE_OK) {
            // An empty file: the reply is the header alone.
            send_ftp_header(&transfer.buf, &conn);
        } else {
            send_error_page(conn, ftp_failure_page(result));
        }
    }
    std::free(transfer.buf.ptr);
    return 0;
}

}  // namespace kel::server

extern "C" int32_t http_envoie_entete_ftp(http_mem_buf *buf) {
    kel::server::send_ftp_header(buf, nullptr);
    return 0;
}

extern "C" size_t http_callback_header_ftp(char *data, size_t taille, size_t nombre, void *user) {
    auto *buf = static_cast<http_mem_buf *>(user);
    const size_t count = taille * nombre;
    const size_t needed = static_cast<size_t>(buf->size) + count + 1;
    if (needed > 0x7FFFFFFF) {
        KEL_DIAG_MSG("Reception entete");
        return 0;
    }
    auto *grown = static_cast<char *>(std::realloc(buf->ptr, needed));
    if (grown == nullptr) {
        KEL_DIAG_MSG("Reception entete");
        return 0;
    }
    buf->ptr = grown;
    std::memcpy(buf->ptr + buf->size, data, count);
    buf->size += static_cast<int32_t>(count);
    buf->ptr[buf->size] = '\0';
    return count;
}

extern "C" size_t http_callback_write_ftp(char *data, size_t taille, size_t nombre, void *user) {
    return kel::server::stream_data(data, taille, nombre, static_cast<http_mem_buf *>(user), nullptr);
}

extern "C" int32_t http_traite_get_ftp(uint32_t sd, kelHttpEntete *che, CURL *curl) {
    auto conn = kel::server::Connection::borrowed(sd);
    return kel::server::fetch_ftp(conn, che, curl);
}
