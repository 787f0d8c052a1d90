// Client allow-list and ad-host table.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "kelchaine.h"
#include "kelconfig.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "kelplat/sync.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_ip_mask";
}

uint32_t g_ip_mask_ip[kIpMaskSlots];
uint32_t g_ip_mask_mask[kIpMaskSlots];
int32_t g_ip_mask_nb;

hash_base_donnees_t *g_hash_bd;

namespace kel::server {
namespace {

using TableLock = kel::sync::RwLock;

TableLock &lock_of(hash_base_donnees_t *bd) { return *static_cast<TableLock *>(bd->mutex); }

// Four octets in network order, first octet at the lowest address.
uint32_t octets_to_address(const std::array<unsigned char, 4> &octets) {
    uint32_t value;
    std::memcpy(&value, octets.data(), sizeof value);
    return value;
}

// A wildcard pattern: dotted parts, each a decimal number from 0 to 255 or
// exactly "*", at most four of them, with a "*" among them. Parts behind the
// "*" are checked but ignored. Anything else is refused, because a stray
// character would otherwise widen the mask to foreign networks.
struct Wildcard {
    uint32_t address;
    uint32_t mask;
};

std::optional<Wildcard> parse_wildcard(std::string_view text) {
    std::array<unsigned char, 4> address{};
    std::array<unsigned char, 4> mask{};
    std::optional<Wildcard> result;
    size_t position = 0;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        std::string_view part = text.substr(start, dot == std::string_view::npos ? text.size() - start
                                                                                 : dot - start);
        if (position >= 4) return std::nullopt;
        if (part == "*") {
            if (!result) result = Wildcard{octets_to_address(address), octets_to_address(mask)};
        } else {
            if (part.empty() || part.size() > 3) return std::nullopt;
            unsigned value = 0;
            for (char c : part) {
                if (c < '0' || c > '9') return std::nullopt;
                value = value * 10 + static_cast<unsigned>(c - '0');
            }
            if (value > 255) return std::nullopt;
            if (!result) {
                address[position] = static_cast<unsigned char>(value);
                mask[position] = 0xFF;
            }
        }
        ++position;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return result;
}

// The label hash of the chains weighs the first character 0 and sums small
// products, so realistic host names crowd into a few buckets (100,000 names
// use about one bucket in five, up to some 700 to a chain). Look-ups and
// insertions go instead through this open-addressed index of the nodes,
// spread by a hash of the whole stored label. A node matches a name when its
// label equals the name and it sits in the name's bucket, exactly what a walk
// of that bucket's chain finds.
class LabelIndex {
public:
    explicit LabelIndex(uint32_t buckets) : buckets_(buckets) {}
    ~LabelIndex() {
        std::free(slots_);
        std::free(tags_);
    }
    LabelIndex(const LabelIndex &) = delete;
    LabelIndex &operator=(const LabelIndex &) = delete;

    hash_liste_chainee_t *find(const char *label, uint32_t hash) const {
        if (count_ == 0) return nullptr;
        const uint32_t bucket = hash % buckets_;
        const uint64_t h = spread(label);
        const uint32_t tag = tag_of(h);
        const size_t mask = capacity_ - 1;
        for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
            hash_liste_chainee_t *node = slots_[i];
            if (node == nullptr) return nullptr;
            // The tag spares a visit to the node for almost every other label.
            if (tags_[i] == tag && node->hash % buckets_ == bucket &&
                std::strcmp(node->etiquette, label) == 0)
                return node;
        }
    }

    // Makes room for one more node, so that a failure leaves the table as it was.
    bool reserve_one() {
        if ((count_ + 1) * 2 <= capacity_) return true;
        return rebuild(capacity_ == 0 ? 64 : capacity_ * 2);
    }

    // After reserve_one().
    void add(hash_liste_chainee_t *node) {
        place(slots_, tags_, capacity_, node);
        ++count_;
    }

    size_t count() const { return count_; }
    size_t slot_bytes() const { return capacity_ * (sizeof(hash_liste_chainee_t *) + sizeof(uint32_t)); }

    // Longest run of occupied slots, the most a look-up visits.
    size_t longest_run() const {
        size_t longest = 0, run = 0;
        for (size_t i = 0; i < capacity_ * 2; ++i) {
            run = slots_[i % capacity_] != nullptr ? run + 1 : 0;
            if (run > longest) longest = run;
        }
        return longest > capacity_ ? capacity_ : longest;
    }

private:
    // 64-bit FNV-1a with a final mix, over the label as stored. The low bits
    // choose the slot, the high ones make the tag.
    static uint64_t spread(const char *label) {
        uint64_t h = 0xcbf29ce484222325u;
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(label); *p != 0; ++p) {
            h ^= *p;
            h *= 0x100000001b3u;
        }
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdu;
        h ^= h >> 33;
        return h;
    }
    static uint32_t tag_of(uint64_t h) { return static_cast<uint32_t>(h >> 32); }

    static void place(hash_liste_chainee_t **slots, uint32_t *tags, size_t capacity,
                      hash_liste_chainee_t *node) {
        const uint64_t h = spread(node->etiquette);
        const size_t mask = capacity - 1;
        size_t i = static_cast<size_t>(h) & mask;
        while (slots[i] != nullptr) i = (i + 1) & mask;
        slots[i] = node;
        tags[i] = tag_of(h);
    }

    bool rebuild(size_t capacity) {
        auto **slots =
            static_cast<hash_liste_chainee_t **>(std::calloc(capacity, sizeof(hash_liste_chainee_t *)));
        auto *tags = static_cast<uint32_t *>(std::calloc(capacity, sizeof(uint32_t)));
        if (slots == nullptr || tags == nullptr) {
            std::free(slots);
            std::free(tags);
            return false;
        }
        for (size_t i = 0; i < capacity_; ++i) {
            if (slots_[i] != nullptr) place(slots, tags, capacity, slots_[i]);
        }
        std::free(slots_);
        std::free(tags_);
        slots_ = slots;
        tags_ = tags;
        capacity_ = capacity;
        return true;
    }

    uint32_t buckets_;
    hash_liste_chainee_t **slots_ = nullptr;
    uint32_t *tags_ = nullptr;
    size_t capacity_ = 0;  // a power of two, at least twice the count
    size_t count_ = 0;
};

LabelIndex &index_of(hash_base_donnees_t *bd) { return *static_cast<LabelIndex *>(bd->index); }

// The allow-list's IPv6 addresses and prefixes of both families, beside
// the IPv4 slots; under tables_lock(), never destroyed.
std::vector<net::IpPrefix> &g_ip_prefixes = *new std::vector<net::IpPrefix>;

// The hosts that valdrin_host_mask_contient blocks; under tables_lock().
// Never destroyed: connection threads may look up while the process exits.
std::shared_ptr<const BlockList> &g_block_list = *new std::shared_ptr<const BlockList>;

void write_node(hash_liste_chainee_t *node, uint32_t hash, const char *label, void *data,
                int32_t data2) {
    node->hash = hash;
    std::snprintf(node->etiquette, sizeof node->etiquette, "%s", label);
    if (node->donnees != data) std::free(node->donnees);
    node->donnees = data;
    node->donnees2 = data2;
}

// A label not yet in its bucket: the bucket's first record when the bucket
// is empty, else a new node behind it. The order within a chain means
// nothing, and this keeps the insertion free of a chain walk.
int32_t insert_new(hash_base_donnees_t *bd, uint32_t hash, const char *label, void *data,
                   int32_t data2) {
    LabelIndex &index = index_of(bd);
    if (!index.reserve_one()) {
        KEL_DIAG();
        return -1;
    }
    hash_liste_chainee_t *head = &bd->enregistrement[hash % bd->nb_enregistrement];
    hash_liste_chainee_t *node = hash_cree_lc();
    if (node == nullptr) return -1;
    if (head->suivant == nullptr) {
        // The new node becomes the empty end marker.
        head->suivant = node;
        node = head;
    } else {
        node->suivant = head->suivant;
        head->suivant = node;
    }
    write_node(node, hash, label, data, data2);
    index.add(node);
    return 0;
}

void diag_skipped(const char *entry, const char *why, int line_no) {
    char text[384];
    std::snprintf(text, sizeof text, "allow-list entry '%s' skipped: %s", entry, why);
    kel::diag::message(text, kModule, line_no);
}

// What an IPv6 literal, a prefix or a name's every address allows, beside
// the IPv4 slots.
using Prefixes = std::vector<net::IpPrefix>;

const char *prefix_fault(net::PrefixParse r) {
    switch (r) {
        case net::PrefixParse::BadAddress: return "the address of a prefix is not an IPv4 or IPv6 literal";
        case net::PrefixParse::BadLength: return "the length of a prefix is not a number within its family's bits";
        case net::PrefixParse::HostBitsSet: return "the address of a prefix has bits set past its length";
        case net::PrefixParse::Ok: break;
    }
    return "malformed prefix";
}

// Adds one entry to a list: an IPv4 address or host name (resolved now), a
// wildcard pattern, an IPv6 address, or a prefix of either family in CIDR
// form. A full list, an empty entry, a malformed one and a name that does
// not resolve take no IPv4 slot; a name's other addresses (IPv6, further
// IPv4 ones) go to the prefixes. Returns the count of IPv4 slots.
int32_t add_entry(uint32_t *ips, uint32_t *masks, int32_t &nb, Prefixes &prefixes, const char *texte) {
    if (texte[0] == '\0') {
        diag_skipped(texte, "the entry is empty", __LINE__);
        return nb;
    }
    if (std::strchr(texte, '/') != nullptr) {
        net::IpPrefix prefix;
        const net::PrefixParse r = net::parse_prefix(texte, &prefix);
        if (r != net::PrefixParse::Ok) {
            diag_skipped(texte, prefix_fault(r), __LINE__);
        } else {
            prefixes.push_back(prefix);
        }
        return nb;
    }
    if (std::strchr(texte, ':') != nullptr) {
        net::IpAddress address;
        if (!net::parse_ip(texte, &address)) {
            diag_skipped(texte, "an IPv6 entry is an address such as fd00::5 or a prefix such as fd00::/8", __LINE__);
        } else {
            prefixes.push_back({net::unmapped(address), static_cast<std::uint8_t>(
                                                             net::unmapped(address).is_v4() ? 32 : 128)});
        }
        return nb;
    }
    if (nb >= kIpMaskSlots) {
        diag_skipped(texte, "the list is full (100 entries)", __LINE__);
        return nb;
    }
    if (std::strchr(texte, '*') == nullptr) {
        uint32_t literal = 0;
        if (net::parse_dotted_quad(texte, &literal)) {
            ips[nb] = literal;
            masks[nb] = 0xFFFFFFFFu;
            return ++nb;
        }
        // A name allows every address of one answer, of both families: its
        // first IPv4 one in a slot, as it always had, the others beside.
        std::vector<net::IpAddress> all;
        if (!net::resolve_all(texte, &all)) return nb;
        bool slotted = false;
        for (const net::IpAddress &a : all) {
            if (!slotted && a.is_v4()) {
                ips[nb] = net::ipv4_net(a);
                masks[nb] = 0xFFFFFFFFu;
                ++nb;
                slotted = true;
            } else {
                prefixes.push_back({a, static_cast<std::uint8_t>(a.is_v4() ? 32 : 128)});
            }
        }
        return nb;
    }
    auto pattern = parse_wildcard(texte);
    if (!pattern) {
        diag_skipped(texte, "a pattern is made of dotted numbers from 0 to 255 and '*'", __LINE__);
        return nb;
    }
    ips[nb] = pattern->address;
    masks[nb] = pattern->mask;
    return ++nb;
}

// The entries of section "Main", in key order, each passed to add.
template <class Add>
void for_each_configured_entry(Add add) {
    char key[32];
    char value[256];
    for (int i = 0; i < 100; ++i) {
        std::snprintf(key, sizeof key, "AllowedHost%d", i);
        value[0] = '\0';
        if (kelcfg_recup_E("Main", key, value, sizeof value, "") < 0) continue;
        if (value[0] != '\0') add(value);
    }
}

}  // namespace

void reset_ip_mask_for_tests() {
    std::unique_lock<kel::sync::RwLock> hold(tables_lock());
    std::memset(g_ip_mask_ip, 0, sizeof g_ip_mask_ip);
    std::memset(g_ip_mask_mask, 0, sizeof g_ip_mask_mask);
    g_ip_mask_nb = 0;
    g_ip_prefixes.clear();
}

AllowList build_allow_list() {
    AllowList list;
    add_entry(list.ip, list.mask, list.nb, list.prefixes, "127.0.0.1");
    add_entry(list.ip, list.mask, list.nb, list.prefixes, "::1");
    for_each_configured_entry(
        [&](const char *value) { add_entry(list.ip, list.mask, list.nb, list.prefixes, value); });
    return list;
}

void install_allow_list(const AllowList &list) {
    std::unique_lock<kel::sync::RwLock> hold(tables_lock());
    std::memcpy(g_ip_mask_ip, list.ip, sizeof g_ip_mask_ip);
    std::memcpy(g_ip_mask_mask, list.mask, sizeof g_ip_mask_mask);
    g_ip_mask_nb = list.nb;
    g_ip_prefixes = list.prefixes;
}

bool client_allowed(const net::IpAddress &client) {
    const net::IpAddress a = net::unmapped(client);
    if (a.is_v4() && valdrin_ip_mask_valide(net::ipv4_net(a)) == 1) return true;
    std::shared_lock<kel::sync::RwLock> hold(tables_lock());
    for (const net::IpPrefix &p : g_ip_prefixes)
        if (net::contains(p, a)) return true;
    return false;
}

size_t longest_index_run(hash_base_donnees_t *bd) {
    if (bd == nullptr) return 0;
    auto &lock = lock_of(bd);
    lock.lock_shared();
    size_t longest = index_of(bd).longest_run();
    lock.unlock_shared();
    return longest;
}

ListSizes current_list_sizes() {
    ListSizes sizes;
    std::shared_lock<kel::sync::RwLock> hold(tables_lock());
    if (g_block_list == nullptr) return sizes;
    sizes.exact = g_block_list->exact_count();
    sizes.domains = g_block_list->domain_count();
    sizes.exceptions = g_block_list->exception_count();
    sizes.bytes = g_block_list->memory_bytes();
    return sizes;
}

void reset_ad_hosts_for_tests() {
    hash_detruit(install_ad_table(nullptr));
    install_block_list(nullptr);
}

std::shared_ptr<const BlockList> build_block_list() {
    auto list = std::make_shared<BlockList>();
    char setting[256] = "";
    kelcfg_recup_E("HTTP", "AdHostsEnabled", setting, sizeof setting, "false");
    if (!is_true_setting(setting)) return list;
    std::string error;
    if (!list->load_adhosts("adhosts", &error)) {
        const std::string text = "adhosts cannot be read: " + error;
        kel::diag::message(text.c_str(), kModule, __LINE__);
        return nullptr;
    }
    char key[32];
    char value[1024];
    for (int i = 0; i < 100; ++i) {
        std::snprintf(key, sizeof key, "AdListFile%d", i);
        value[0] = '\0';
        if (kelcfg_recup_E("HTTP", key, value, sizeof value, "") < 0 || value[0] == '\0') continue;
        // Relative names are taken from the folder of adhosts, the current one.
        if (!list->load_list(value, &error)) {
            const std::string text = std::string(key) + " '" + value + "' in section HTTP cannot be read: " + error;
            kel::diag::message(text.c_str(), kModule, __LINE__);
            return nullptr;
        }
    }
    for (const ListFileStats &file : list->files())
        kel::diag::out_printf("%s\n", BlockList::report_line(file).c_str());
    return list;
}

void install_block_list(std::shared_ptr<const BlockList> list) {
    std::unique_lock<kel::sync::RwLock> hold(tables_lock());
    g_block_list.swap(list);
    // The old list is released here, after the swap, by the last holder.
}

hash_base_donnees_t *install_ad_table(hash_base_donnees_t *bd) {
    std::unique_lock<kel::sync::RwLock> hold(tables_lock());
    std::swap(g_hash_bd, bd);
    return bd;
}

int32_t load_ad_hosts(hash_base_donnees_t *bd, const char *path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path, "r"), &std::fclose);
    if (!file) {
        kel::diag::out_printf("Unable to open adhosts file\n");
        return -1;
    }
    char line[256];
    int32_t count = 0;
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        size_t length = std::strlen(line);
        for (int strip = 0; strip < 2 && length > 0; ++strip) {
            if (line[length - 1] != '\r' && line[length - 1] != '\n') break;
            line[--length] = '\0';
        }
        if (line[0] != '\0') hash_ajoute(bd, line, nullptr, 0);
        ++count;
    }
    kel::diag::out_printf("%d ad-domains loaded.\n", count);
    return count;
}

hash_base_donnees_t *build_ad_table() {
    hash_base_donnees_t *bd = hash_cree(kAdHostBuckets);
    if (bd == nullptr) {
        KEL_DIAG();
        return nullptr;
    }
    char setting[256] = "";
    kelcfg_recup_E("HTTP", "AdHostsEnabled", setting, sizeof setting, "false");
    if (is_true_setting(setting) && load_ad_hosts(bd, "adhosts") < 0) {
        hash_detruit(bd);
        return nullptr;
    }
    return bd;
}

}  // namespace kel::server

// ---------------------------------------------------------------- allow-list

extern "C" int32_t valdrin_ip_mask_init(void) {
    valdrin_ip_mask_ajoute("127.0.0.1");
    valdrin_ip_mask_ajoute("::1");
    kel::server::for_each_configured_entry([](const char *value) { valdrin_ip_mask_ajoute(value); });
    return 0;
}

extern "C" int32_t valdrin_ip_mask_ajoute(const char *texte) {
    if (texte == nullptr) {
        KEL_DIAG();
        return -1;
    }
    // Start-up only, before any connection: the look-up of a name may run
    // under the hold.
    std::unique_lock<kel::sync::RwLock> hold(kel::server::tables_lock());
    return kel::server::add_entry(g_ip_mask_ip, g_ip_mask_mask, g_ip_mask_nb, kel::server::g_ip_prefixes, texte);
}

extern "C" int32_t valdrin_ip_mask_valide(uint32_t adresse) {
    std::shared_lock<kel::sync::RwLock> hold(kel::server::tables_lock());
    for (int32_t i = 0; i < g_ip_mask_nb; ++i) {
        if (((adresse ^ g_ip_mask_ip[i]) & g_ip_mask_mask[i]) == 0) return 1;
    }
    return 0;
}

// ---------------------------------------------------------------- hash table

extern "C" uint32_t hash_calcule(const char *etiquette, uint32_t longueur) {
    uint32_t hash = 0;
    for (uint32_t i = 0; i < longueur; ++i) hash += i * static_cast<unsigned char>(etiquette[i]);
    return hash;
}

extern "C" hash_base_donnees_t *hash_cree(uint32_t nb_enregistrement) {
    if (nb_enregistrement == 0) {
        KEL_DIAG();
        return nullptr;
    }
    auto *bd = static_cast<hash_base_donnees_t *>(std::calloc(1, sizeof(hash_base_donnees_t)));
    if (bd == nullptr) {
        KEL_DIAG();
        return nullptr;
    }
    bd->enregistrement = static_cast<hash_liste_chainee_t *>(
        std::calloc(nb_enregistrement, sizeof(hash_liste_chainee_t)));
    if (bd->enregistrement == nullptr) {
        KEL_DIAG();
        std::free(bd);
        return nullptr;
    }
    bd->nb_enregistrement = nb_enregistrement;
    auto *lock = new (std::nothrow) kel::server::TableLock();
    if (lock == nullptr || !lock->valid()) {
        KEL_DIAG();
        delete lock;
        std::free(bd->enregistrement);
        std::free(bd);
        return nullptr;
    }
    bd->mutex = lock;
    bd->index = new (std::nothrow) kel::server::LabelIndex(nb_enregistrement);
    if (bd->index == nullptr) {
        KEL_DIAG();
        delete lock;
        std::free(bd->enregistrement);
        std::free(bd);
        return nullptr;
    }
    return bd;
}

extern "C" void hash_detruit(hash_base_donnees_t *bd) {
    if (bd == nullptr) return;
    for (uint32_t i = 0; i < bd->nb_enregistrement; ++i) {
        hash_liste_chainee_t &bucket = bd->enregistrement[i];
        hash_detruit_lc(bucket.suivant);
        std::free(bucket.donnees);
    }
    std::free(bd->enregistrement);
    delete static_cast<kel::server::TableLock *>(bd->mutex);
    delete static_cast<kel::server::LabelIndex *>(bd->index);
    std::free(bd);
}

extern "C" hash_liste_chainee_t *hash_cree_lc(void) {
    auto *lc = static_cast<hash_liste_chainee_t *>(std::calloc(1, sizeof(hash_liste_chainee_t)));
    if (lc == nullptr) KEL_DIAG();
    return lc;
}

extern "C" void hash_detruit_lc(hash_liste_chainee_t *lc) {
    // Iterative, so that a chain of any length cannot exhaust a 64 KiB stack.
    while (lc != nullptr) {
        hash_liste_chainee_t *next = lc->suivant;
        std::free(lc->donnees);
        std::free(lc);
        lc = next;
    }
}

extern "C" int32_t hash_ajoute_lc(hash_liste_chainee_t *lc, uint32_t hash, const char *etiquette,
                                  void *donnees, int32_t donnees2) {
    if (lc == nullptr || etiquette == nullptr) {
        KEL_DIAG();
        return -1;
    }
    hash_liste_chainee_t *node = lc;
    while (node->suivant != nullptr && std::strcmp(node->etiquette, etiquette) != 0) {
        node = node->suivant;
    }
    // The written node must keep an empty successor; allocate it first so
    // that a failure leaves the chain as it was instead of letting the next
    // insertion overwrite this label.
    if (node->suivant == nullptr) {
        node->suivant = hash_cree_lc();
        if (node->suivant == nullptr) return -1;
    }
    kel::server::write_node(node, hash, etiquette, donnees, donnees2);
    return 0;
}

extern "C" int32_t hash_recherche_lc(hash_liste_chainee_t *lc, const char *etiquette,
                                     void **donnees, int32_t *donnees2) {
    // The last node of a chain is the empty end marker, never an entry.
    for (hash_liste_chainee_t *node = lc; node != nullptr && node->suivant != nullptr;
         node = node->suivant) {
        if (std::strcmp(node->etiquette, etiquette) == 0) {
            if (donnees != nullptr) *donnees = node->donnees;
            if (donnees2 != nullptr) *donnees2 = node->donnees2;
            return 0;
        }
    }
    if (donnees != nullptr) *donnees = nullptr;
    if (donnees2 != nullptr) *donnees2 = 0;
    return -1;
}

extern "C" int32_t hash_ajoute(hash_base_donnees_t *bd, const char *etiquette, void *donnees,
                               int32_t donnees2) {
    if (bd == nullptr || etiquette == nullptr) {
        KEL_DIAG();
        return -1;
    }
    // The empty label is never stored: it would be indistinguishable from
    // the end marker of every chain.
    if (etiquette[0] == '\0') return -1;
    uint32_t length = static_cast<uint32_t>(std::strlen(etiquette));
    uint32_t hash = hash_calcule(etiquette, length);
    auto &lock = kel::server::lock_of(bd);
    lock.lock();
    int32_t result = 0;
    if (hash_liste_chainee_t *node = kel::server::index_of(bd).find(etiquette, hash)) {
        kel::server::write_node(node, hash, etiquette, donnees, donnees2);
    } else {
        result = kel::server::insert_new(bd, hash, etiquette, donnees, donnees2);
    }
    lock.unlock();
    return result;
}

extern "C" int32_t recherche(hash_base_donnees_t *bd, const char *etiquette, void **donnees,
                             int32_t *donnees2) {
    if (bd == nullptr || etiquette == nullptr || etiquette[0] == '\0') {
        if (donnees != nullptr) *donnees = nullptr;
        if (donnees2 != nullptr) *donnees2 = 0;
        return -1;
    }
    uint32_t length = static_cast<uint32_t>(std::strlen(etiquette));
    // Labels are at most 255 characters, so a longer name is never listed.
    if (length > 255) return hash_recherche_lc(nullptr, etiquette, donnees, donnees2);
    uint32_t hash = hash_calcule(etiquette, length);
    auto &lock = kel::server::lock_of(bd);
    lock.lock_shared();
    const hash_liste_chainee_t *node = kel::server::index_of(bd).find(etiquette, hash);
    if (donnees != nullptr) *donnees = node != nullptr ? node->donnees : nullptr;
    if (donnees2 != nullptr) *donnees2 = node != nullptr ? node->donnees2 : 0;
    lock.unlock_shared();
    return node != nullptr ? 0 : -1;
}

// ---------------------------------------------------------------- ad hosts

extern "C" int32_t valdrin_host_mask_init(void) {
    hash_base_donnees_t *bd;
    {
        std::shared_lock<kel::sync::RwLock> hold(kel::server::tables_lock());
        bd = g_hash_bd;
    }
    if (bd == nullptr) {
        bd = hash_cree(kel::server::kAdHostBuckets);
        if (bd == nullptr) {
            KEL_DIAG();
            return -1;
        }
        hash_detruit(kel::server::install_ad_table(bd));
    }
    char setting[256] = "";
    kelcfg_recup_E("HTTP", "AdHostsEnabled", setting, sizeof setting, "false");
    const bool enabled = kel::server::is_true_setting(setting);
    // Start-up only: the table fills in place, each insertion under its own lock.
    const int32_t count = enabled ? kel::server::load_ad_hosts(bd, "adhosts") : 0;
    if (count < 0) return -1;
    auto list = kel::server::build_block_list();
    if (list == nullptr) return -1;
    kel::server::install_block_list(std::move(list));
    return count;
}

extern "C" int32_t valdrin_host_mask_contient(const char *hote) {
    if (hote == nullptr || hote[0] == '\0') return 0;
    std::shared_lock<kel::sync::RwLock> hold(kel::server::tables_lock());
    // Exact names of adhosts, their domains and the further lists, without
    // regard to case: the list, not the table, answers.
    const auto &list = kel::server::g_block_list;
    return list != nullptr && list->blocks(hote) ? 1 : 0;
}
