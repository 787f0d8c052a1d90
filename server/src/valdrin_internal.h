// Internal contract of the proxy server library: the settings, tables and
// routines that start-up, the connection threads and the unit tests share.
// Nothing here is exported from the shared library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include "access_log.h"
#include "block_list.h"
#include "kelhttpe.h"
#include "kelnet.h"
#include "kelplat/inet.h"
#include "kelplat/sync.h"

// ---- settings written by start-up, read-only afterwards ----

// A reload (valdrin_http_recharge) rewrites the settings below while
// connection threads run: read them with kel::server::setting().

extern uint16_t g_http_port;
extern int32_t g_http_secure;
// The current replacement image; its bytes stay valid while a sender holds
// the image from current_image(), and are released after a reload.
extern unsigned char *g_http_gif_remplace;
extern int32_t g_http_gif_remplace_lng;
// Limits of the connection path, in seconds (0: none), and the cap on
// connections served at once (0: none).
extern int32_t g_http_header_timeout;
extern int32_t g_http_idle_timeout;
extern int32_t g_http_connect_timeout;
extern int32_t g_http_max_clients;
// The cap on connections waiting for their request without a thread (0:
// none).
extern int32_t g_http_max_waiting;

// ---- error pages ----

enum http_Erreurs {
    HTTP_REQUETE_INVALIDE = 0,
    HTTP_METHOD_NOT_ALLOWED = 1,
    HTTP_NOT_ALLOWED = 2,
    HTTP_CONNECTION_REFUSED = 3,
    HTTP_RESOLVE_FAIL = 4,
    HTTP_INTERNAL_ERROR = 5,
    HTTP_TROP_DE_CLIENTS = 6,
    HTTP_BLOCKED_HOST = 7,
    HTTP_NOT_FOUND = 8,
};

enum ssl_Erreurs {
    SSL_REQUETE_INVALIDE = 0,
    SSL_METHOD_NOT_ALLOWED = 1,
    SSL_NOT_ALLOWED = 2,
    SSL_CONNECTION_REFUSED = 3,
    SSL_RESOLVE_FAIL = 4,
    SSL_INTERNAL_ERROR = 5,
};

// ---- FTP transfer state ----

enum http_Transfer_Encoding { HTTP_NONE = 0, HTTP_CHUNKED = 1, HTTP_BYTES = 2 };

struct http_mem_buf {
    int32_t size;         // bytes collected in ptr
    char *ptr;            // control replies, NUL-terminated; malloc'ed, null until the first
    uint32_t sd_client;   // socket the reply is streamed to
    int32_t header_sent;  // 1 once the fixed header has gone out
    http_Transfer_Encoding encoding;
    uint32_t encoding_size;
};

// The fixed reply header of an FTP transfer.
inline constexpr char kFtpReplyHeader[] = "HTTP/1.0 200 Ok\r\nConnection: close\r\n\r\n";

// ---- ad-host table ----

struct hash_liste_chainee_t {
    uint32_t hash;
    char etiquette[256];
    void *donnees;  // malloc'ed, owned by the node
    int32_t donnees2;
    hash_liste_chainee_t *suivant;
};

struct hash_base_donnees_t {
    void *mutex;  // the table's reader/writer lock (kel::sync::RwLock)
    uint32_t nb_enregistrement;
    hash_liste_chainee_t *enregistrement;
    // Well-spread index over every node that hash_ajoute writes
    // (kel::server::LabelIndex); insertions and look-ups go through it.
    void *index;
};

// Swapped by a reload under the exclusive hold of kel::server::tables_lock();
// look-ups hold it shared.
extern hash_base_donnees_t *g_hash_bd;

// ---- allow-list ----

// Written under the exclusive hold of kel::server::tables_lock(), read
// under a shared one.
inline constexpr int kIpMaskSlots = 100;
extern uint32_t g_ip_mask_ip[kIpMaskSlots];
extern uint32_t g_ip_mask_mask[kIpMaskSlots];
extern int32_t g_ip_mask_nb;

extern "C" {

// start-up and connection thread
void http_proxy(void);
void http_servir(void *params);
int32_t http_traite(uint32_t sd, kelnet_sockaddr sock_dist, CURL *curl);

// forwarding
int32_t http_traite_get_http(uint32_t sd, kelHttpEntete *che, CURL *curl);
int32_t http_traite_tunnel(uint32_t sd, kelHttpEntete *che, CURL *curl);
int32_t http_ad_domain(uint32_t sd);

// FTP through HTTP
int32_t http_traite_get_ftp(uint32_t sd, kelHttpEntete *che, CURL *curl);
size_t http_callback_header_ftp(char *data, size_t taille, size_t nombre, void *user);
size_t http_callback_write_ftp(char *data, size_t taille, size_t nombre, void *user);
int32_t http_envoie_entete_ftp(http_mem_buf *buf);

// error pages
void http_erreur(uint32_t sd, http_Erreurs code);
// The listener's answer to a connection past the cap: the 503 page, sent
// without waiting.
void http_trop_de_clients(uint32_t sd, kelnet_sockaddr sock_dist);
// The same past the cap on waiting connections.
void http_trop_en_attente(uint32_t sd, kelnet_sockaddr sock_dist);
// Admission on accept: 1 for a client of the allow-list; 0 for any other,
// after its 403 page and log line.
int32_t http_admet(uint32_t sd, kelnet_sockaddr sock_dist);
void ssl_erreur(uint32_t sd, ssl_Erreurs code);

// CONNECT
int32_t ssl_servir(uint32_t sd, kelHttpEntete *che);
int32_t ssl_tunnel(uint32_t sd, const char *hote, int32_t port);

// allow-list
int32_t valdrin_ip_mask_init(void);
int32_t valdrin_ip_mask_ajoute(const char *texte);
int32_t valdrin_ip_mask_valide(uint32_t adresse);

// hash table and ad hosts
hash_base_donnees_t *hash_cree(uint32_t nb_enregistrement);
void hash_detruit(hash_base_donnees_t *bd);
hash_liste_chainee_t *hash_cree_lc(void);
void hash_detruit_lc(hash_liste_chainee_t *lc);
int32_t hash_ajoute(hash_base_donnees_t *bd, const char *etiquette, void *donnees,
                    int32_t donnees2);
int32_t hash_ajoute_lc(hash_liste_chainee_t *lc, uint32_t hash, const char *etiquette,
                       void *donnees, int32_t donnees2);
int32_t recherche(hash_base_donnees_t *bd, const char *etiquette, void **donnees,
                  int32_t *donnees2);
int32_t hash_recherche_lc(hash_liste_chainee_t *lc, const char *etiquette, void **donnees,
                          int32_t *donnees2);
uint32_t hash_calcule(const char *etiquette, uint32_t longueur);
int32_t valdrin_host_mask_init(void);
int32_t valdrin_host_mask_contient(const char *hote);

}  // extern "C"

namespace kel::server {

// Number of buckets of the ad-host table.
inline constexpr uint32_t kAdHostBuckets = 6666;
// The replacement image is cut to this many bytes.
inline constexpr std::size_t kMaxImageBytes = 1024000;

// "HTTPPort" as a port: leading decimal digits after optional blanks; no
// digits, 0 or a value above 65535 is refused.
std::optional<uint16_t> parse_http_port(const char *text);

// A count setting: optional blanks, decimal digits, optional blanks; at
// most 2,000,000. Anything else is refused.
std::optional<int32_t> parse_count_setting(const char *text);

// parse_limits then apply_limits; false after a diagnostic line naming a
// bad value.
bool read_limits();

// True when the text starts with T or Y, in either case.
bool is_true_setting(const char *text);

// ASCII comparison without regard to case; null never matches.
bool equals_ignoring_case(const char *a, const char *b);

// The page that a code selects, and the status it is sent with.
struct ErrorPage {
    const char *html;
    int32_t status;
};
ErrorPage error_page(int code);

// The error page for an FTP transfer that failed before its first data
// block, from libcurl's result.
http_Erreurs ftp_failure_page(CURLcode result);

// Port in host order to the network order that kelnet_connecter takes.
uint16_t port_to_network(uint16_t port);

// Makes the libcurl handle of one FTP request, counting it.
CURL *new_curl_handle();
// Handles made so far, for tests that check which requests need one.
uint64_t curl_handles_created();

// What one connection did, for the access log and the status counters:
// the handlers fill it on the connection's thread, and it is logged when
// the connection ends.
struct Exchange {
    std::string client;            // address text
    std::time_t started_wall = 0;  // for the log's time stamp
    std::chrono::steady_clock::time_point started;
    std::string request_line;  // as received
    std::string origin_target;  // the target when it is a path ("/..."), as received
    std::string referer;
    std::string user_agent;
    int status = 0;
    uint64_t bytes_to_client = 0;
    uint64_t bytes_to_origin = 0;
    Verdict verdict = Verdict::Error;
};
// The calling thread's exchange, or null outside a connection (the unit
// tests call handlers directly); the notes below then do nothing.
Exchange *current_exchange();
// A reply the proxy made itself: its status and size, head included.
void note_reply(int status, uint64_t bytes);
void note_verdict(Verdict v);
// What the thread's last relay moved; the origin's status is read from
// the first bytes it sent (0 when they are not a status line).
void note_relay(bool origin_first, Verdict v);
// The request line and the Referer and User-Agent fields of a received head.
void note_request_head(std::string_view head);
// A GET for the proxy itself: host "valdrin.status", or a target in origin
// form ("/metrics"), which only a request to the proxy's own port has.
bool is_status_request(const kelHttpEntete *che);
// Answers it: "/" the HTML page, "/metrics" the Prometheus text,
// "/status.json" JSON, anything else the 404 page.
void serve_status(uint32_t sd, const kelHttpEntete *che);
// The size of a reply sent with kelHttp_envoie_E: head and body.
uint64_t reply_bytes(int32_t code, const char *content_type, uint64_t body_bytes);
// The status code of a reply's first bytes ("HTTP/1.1 200 ..."); 0 when
// they are no status line.
int status_of_reply_start(std::string_view start);
// "AccessLog" of section "Main" ("" when the log is off); nothing, after a
// diagnostic line naming the file, when it cannot be written.
std::optional<std::string> read_access_log_setting();
// The sizes of the ad and tracker lists now in use.
struct ListSizes {
    uint64_t exact = 0;
    uint64_t domains = 0;
    uint64_t exceptions = 0;
    uint64_t bytes = 0;
};
ListSizes current_list_sizes();

// The connection thread closes the client socket exactly once; handlers
// that close it, or hand it to a relay that does, say so here.
void close_client(uint32_t sd);
void mark_client_closed();
bool client_is_closed();
void reset_client_state();

// A setting that a reload may rewrite, read whole.
inline int32_t setting(int32_t &value) noexcept {
    return std::atomic_ref<int32_t>(value).load(std::memory_order_relaxed);
}
inline void set_setting(int32_t &value, int32_t v) noexcept {
    std::atomic_ref<int32_t>(value).store(v, std::memory_order_relaxed);
}

// Guards the state that a reload swaps: the allow-list, the ad-host table
// and the image. Readers hold it shared around a look-up, never around a
// send; a reload holds it exclusively only to swap what it built outside.
// Never destroyed: detached connection threads may use it at exit.
kel::sync::RwLock &tables_lock();

// ---- start-up and reload pieces, split out so the tests can drive them ----

// "HTTPListen" of section "HTTP": the addresses to listen on (empty: every
// interface, both families where the host has IPv6); nothing, after a
// diagnostic line naming the entry, when one is no address.
std::optional<std::vector<std::string>> parse_listen_setting();
// The addresses the running listener was started with.
std::vector<std::string> listen_addresses();

// True once the server thread has been started and until its listener ends.
bool server_is_running();

// The body of valdrin_http_recharge, without its check that the server
// runs; same results.
int32_t reload_configuration();

// The limits of section "HTTP" as read; nothing, after a diagnostic line
// naming the key, when one is not a whole number from 0 to 2,000,000.
struct Limits {
    int32_t header_timeout;
    int32_t idle_timeout;
    int32_t connect_timeout;
    int32_t max_clients;
    int32_t max_waiting;
};
// HTTPMaxWaiting as the descriptor limit allows beside HTTPMaxClients
// (two descriptors each); a lowered value is said on the standard output.
int32_t waiting_within_descriptors(int32_t max_waiting, int32_t max_clients, uint64_t descriptor_limit);
std::optional<Limits> parse_limits();
// Writes them to the settings and hands them to the support library.
void apply_limits(const Limits &limits);

// An allow-list built from the configuration: 127.0.0.1 and the entries
// "AllowedHost0" .. "AllowedHost99" of section "Main", as
// valdrin_ip_mask_init builds it.
struct AllowList {
    uint32_t ip[kIpMaskSlots] = {};
    uint32_t mask[kIpMaskSlots] = {};
    int32_t nb = 0;
    // IPv6 addresses, prefixes of both families, the further addresses of
    // names; ::1 always.
    std::vector<net::IpPrefix> prefixes;
};
AllowList build_allow_list();
// Makes it the list that valdrin_ip_mask_valide and client_allowed check.
void install_allow_list(const AllowList &list);
// Whether a client of either family may use the proxy: the IPv4 slots of
// valdrin_ip_mask_valide, then the prefixes. A mapped IPv4 address is
// the IPv4 client it is.
bool client_allowed(const net::IpAddress &client);
// The client of the calling connection thread, or of the connection the
// listener's thread admits or refuses; the record's IPv4 address
// elsewhere (the unit tests call the handlers directly).
net::IpAddress client_address(const kelnet_sockaddr &sock_dist);

// Loads the host names of the file into the table; the count of lines, or
// -1 after "Unable to open adhosts file" when it can't be opened.
int32_t load_ad_hosts(hash_base_donnees_t *bd, const char *path);
// A new table, filled from "adhosts" when "AdHostsEnabled" is true; null
// after a diagnostic line when the file can't be read or memory runs out.
hash_base_donnees_t *build_ad_table();
// Makes it the table that valdrin_host_mask_init fills and returns the one
// it replaces, for the caller to destroy once no look-up can hold it.
hash_base_donnees_t *install_ad_table(hash_base_donnees_t *bd);

// The hosts valdrin_host_mask_contient blocks: "adhosts" and the list
// files "AdListFile0" .. "AdListFile99" of section "HTTP" (absolute, or
// relative to the folder of adhosts) when "AdHostsEnabled" is true, an
// empty list otherwise. Says on the standard output what each file held;
// null after a diagnostic line naming the key and the file when one can't
// be read.
std::shared_ptr<const BlockList> build_block_list();
// Makes it the list of valdrin_host_mask_contient; the one it replaces goes
// once no look-up holds it.
void install_block_list(std::shared_ptr<const BlockList> list);

// The replacement image, bytes shared by every reply that sends it.
struct Image {
    unsigned char *bytes = nullptr;  // malloc'ed
    int32_t length = 0;
    Image() = default;
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    ~Image() { std::free(bytes); }
};
// Reads at most kMaxImageBytes of the file; null after a diagnostic line
// when it can't be read or is empty.
std::shared_ptr<const Image> read_replacement_image(const char *path);
// Makes it the image sent for ad hosts (and sets g_http_gif_remplace).
void install_image(std::shared_ptr<const Image> image);
// The image to send now; null before start-up.
std::shared_ptr<const Image> current_image();
// read_replacement_image then install_image: 0, or -1.
int32_t load_replacement_image(const char *path);
// The file name of the image: "valdrin.sys" in the current directory, or
// in the data folder given to valdrin_http_fixe_dossiers when it is not
// there.
std::string replacement_image_path();
// Forgets the folders given to valdrin_http_fixe_dossiers.
void reset_folders_for_tests();
void reset_ip_mask_for_tests();
void reset_ad_hosts_for_tests();
// Longest run of occupied slots in a table's index: the most slots a
// look-up of one name may visit.
size_t longest_index_run(hash_base_donnees_t *bd);

}  // namespace kel::server
