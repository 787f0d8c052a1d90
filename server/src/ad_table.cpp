// The contract's allow-list and ad-host routines, and its label hash table.
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
#include "kelplat/ini.h"
#include "kelplat/net.h"
#include "kelplat/sync.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_ip_mask";
}

namespace kel::server {
namespace {

using TableLock = kel::sync::RwLock;

TableLock &lock_of(hash_base_donnees_t *bd) { return *static_cast<TableLock *>(bd->mutex); }

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

// The contract's routines that add to the allow-list or load the block
// lists install a snapshot like the one in force with their change. Start-up
// code of old, one at a time.
std::mutex g_contract_mutex;

std::shared_ptr<Config> copy_of_running() {
    const auto running = current_config();
    return running != nullptr ? std::make_shared<Config>(*running) : std::make_shared<Config>();
}

// The settings of the file the configuration store names.
std::optional<Config> store_settings(ini::Document *doc) {
    char path[1024] = "";
    if (kelcfg_recup_chemin(path, sizeof path) <= 0) {
        KEL_DIAG_MSG("Library kelConfig not initialized");
        return std::nullopt;
    }
    std::vector<ConfigProblem> problems;
    auto settings = read_config_file(path, doc, &problems);
    for (const ConfigProblem &p : problems) kel::diag::message(p.message().c_str(), kModule, __LINE__);
    if (!problems.empty()) return std::nullopt;
    return settings;
}

}  // namespace

void reset_ip_mask_for_tests() {
    std::lock_guard<std::mutex> one_at_a_time(g_contract_mutex);
    auto config = copy_of_running();
    config->allowed = AllowList{};
    install_config(std::move(config));
}

void reset_ad_hosts_for_tests() {
    std::lock_guard<std::mutex> one_at_a_time(g_contract_mutex);
    auto config = copy_of_running();
    config->blocked = nullptr;
    install_config(std::move(config));
}

size_t longest_index_run(hash_base_donnees_t *bd) {
    if (bd == nullptr) return 0;
    auto &lock = lock_of(bd);
    lock.lock_shared();
    size_t longest = index_of(bd).longest_run();
    lock.unlock_shared();
    return longest;
}

}  // namespace kel::server

// ---------------------------------------------------------------- allow-list

extern "C" int32_t valdrin_ip_mask_init(void) {
    kel::ini::Document doc;
    const auto settings = kel::server::store_settings(&doc);
    valdrin_ip_mask_ajoute("127.0.0.1");
    valdrin_ip_mask_ajoute("::1");
    if (settings) {
        for (const std::string &entry : settings->main.allowed_hosts) valdrin_ip_mask_ajoute(entry.c_str());
    }
    return 0;
}

extern "C" int32_t valdrin_ip_mask_ajoute(const char *texte) {
    if (texte == nullptr) {
        KEL_DIAG();
        return -1;
    }
    std::lock_guard<std::mutex> one_at_a_time(kel::server::g_contract_mutex);
    auto config = kel::server::copy_of_running();
    kel::server::AllowList &list = config->allowed;
    const int32_t count = kel::server::add_allow_entry(list.ip, list.mask, list.nb, list.prefixes, texte);
    kel::server::install_config(std::move(config));
    return count;
}

extern "C" int32_t valdrin_ip_mask_valide(uint32_t adresse) {
    std::shared_lock<kel::sync::RwLock> hold(kel::server::tables_lock());
    return kel::server::slots_allow(g_ip_mask_ip, g_ip_mask_mask, g_ip_mask_nb, adresse) ? 1 : 0;
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
    kel::ini::Document doc;
    const auto settings = kel::server::store_settings(&doc);
    if (!settings) return -1;
    std::vector<kel::server::ConfigProblem> problems;
    auto list = kel::server::build_block_list(*settings, doc, &problems);
    for (const auto &p : problems) kel::diag::message(p.message().c_str(), kModule, __LINE__);
    if (list == nullptr) return -1;
    const int32_t lines = list->files().empty() ? 0 : static_cast<int32_t>(list->files().front().lines);
    std::lock_guard<std::mutex> one_at_a_time(kel::server::g_contract_mutex);
    auto config = kel::server::copy_of_running();
    config->blocked = std::move(list);
    kel::server::install_config(std::move(config));
    return lines;
}

extern "C" int32_t valdrin_host_mask_contient(const char *hote) {
    if (hote == nullptr || hote[0] == '\0') return 0;
    // Exact names of adhosts, their domains and the further lists, without
    // regard to case: the snapshot's block list answers.
    const auto config = kel::server::current_config();
    return config != nullptr && config->blocked != nullptr && config->blocked->blocks(hote) ? 1 : 0;
}
