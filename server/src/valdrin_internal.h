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
#include "config.h"
#include "kelhttpe.h"
#include "kelnet.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "kelplat/sync.h"

// ---- views of the configuration snapshot ----

// Written from each snapshot that is installed (start-up, reload), for the
// routines of the contract that read them; the request path reads its
// snapshot instead. A reload rewrites them while connection threads run:
// read them with kel::server::setting().

extern uint16_t g_http_port;
extern int32_t g_http_secure;
// The current replacement image; its bytes stay valid while a snapshot
// that holds the image lives.
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

// A hash table of labels. The blocking itself answers from the snapshot's
// block list; the table is built only by those who call its routines.

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

// Null: nothing reads an ad-host table any longer (see above).
extern hash_base_donnees_t *g_hash_bd;

// ---- allow-list ----

// The IPv4 slots of the installed snapshot's allow-list, and those
// valdrin_ip_mask_ajoute adds: written under the exclusive hold of
// kel::server::tables_lock(), read under a shared one.
using kel::server::kIpMaskSlots;
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

// ASCII comparison without regard to case; null never matches.
inline bool equals_ignoring_case(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return false;
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (upper(*a) != upper(*b)) return false;
    }
    return *a == *b;
}

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
inline uint16_t port_to_network(uint16_t port) { return net::host_to_net16(port); }

// Makes the libcurl handle of one FTP request, counting it.
CURL *new_curl_handle();
// Handles made so far, for tests that check which requests need one.
uint64_t curl_handles_created();

// The status code of a reply's first bytes ("HTTP/1.1 200 ..."); 0 when
// they are no status line.
int status_of_reply_start(std::string_view start);

// A setting that a reload may rewrite, read whole.
inline int32_t setting(int32_t &value) noexcept {
    return std::atomic_ref<int32_t>(value).load(std::memory_order_relaxed);
}
inline void set_setting(int32_t &value, int32_t v) noexcept {
    std::atomic_ref<int32_t>(value).store(v, std::memory_order_relaxed);
}

// Guards the views of the allow-list and the ad-host table's pointer that
// the contract's routines read. Never destroyed: detached connection
// threads may use it at exit.
kel::sync::RwLock &tables_lock();

// ---- the snapshot in force ----

// Publishes the snapshot and writes the views from it. Reloads and
// start-up call it one at a time.
void install_config(std::shared_ptr<const Config> config);
// Hands the snapshot's limits to the support library and its access log's
// file to the writer: what the listener and the log apply from then on.
void apply_service_settings(const Config &config);
// The image of the snapshot in force; null before start-up.
std::shared_ptr<const Image> current_image();
// A snapshot like the one in force (or the factory one) with this image,
// installed; 0, or -1 after a diagnostic line when the file can't be read.
int32_t load_replacement_image(const char *path);
// The snapshot of the file the configuration store names, read as
// start-up reads it; null after a diagnostic line per problem.
std::shared_ptr<const Config> load_store_config();

// True once the server thread has been started and until its listener ends.
bool server_is_running();
// The port the running listener took (HTTPPort, or the one the system
// picked for 0); 0 before it listens.
uint16_t listening_port();

// The body of valdrin_http_recharge, without its check that the server
// runs; same results.
int32_t reload_configuration();

// The client of the calling connection thread, or of the connection the
// listener's thread admits or refuses; the record's IPv4 address
// elsewhere (the unit tests call the handlers directly).
net::IpAddress client_address(const kelnet_sockaddr &sock_dist);
// Whether the snapshot in force allows a client of either family.
bool client_allowed(const net::IpAddress &client);

// The folder names of valdrin_http_fixe_dossiers forgotten, and the tables
// emptied, between unit tests.
void reset_folders_for_tests();
void reset_ip_mask_for_tests();
void reset_ad_hosts_for_tests();
// Longest run of occupied slots in a table's index: the most slots a
// look-up of one name may visit.
size_t longest_index_run(hash_base_donnees_t *bd);

}  // namespace kel::server
