#ifndef KELNET_H
#define KELNET_H

#include <stdint.h>

#include "kelapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Socket descriptors are unsigned 32-bit; all ones is the invalid descriptor. */
#define KELNET_INVALIDE ((uint32_t)0xFFFFFFFFu)
/* IPv4 addresses travel in network byte order; all ones doubles as "no address". */
#define KELNET_AUCUNE_ADRESSE ((uint32_t)0xFFFFFFFFu)

/* IPv4 socket address, 16 bytes: family (always 2), port and address in
   network order, 8 bytes of padding. Same layout as the socket layer's own. */
typedef struct kelnet_sockaddr {
    uint16_t famille;
    uint16_t port;
    uint32_t adresse;
    unsigned char zero[8];
} kelnet_sockaddr;

/* Handed by the threaded listener to each connection thread, which owns it
   and releases it with free(). */
typedef struct kelnet_params {
    uint32_t sd;
    kelnet_sockaddr sock_dist;
} kelnet_params;

/* Heap record of two sockets, the argument of the relay thread entries,
   which release it with free(). */
typedef struct kelnet_paire {
    uint32_t sd1;
    uint32_t sd2;
} kelnet_paire;

/* Routine of the synchronous listener: a negative result ends the loop. */
typedef int32_t (*kelnet_routine)(uint32_t sd, kelnet_sockaddr sock_dist);
/* Routine of a connection thread: one pointer argument, no result. */
typedef void (*kelnet_routine_thread)(void *arg);

/* Called on the listener's thread for a connection past the cap of
   kelnet_fixe_max_clients; it must not block. The library closes the
   socket afterwards. */
typedef void (*kelnet_routine_refus)(uint32_t sd, kelnet_sockaddr sock_dist);

/* Called on the listener's thread for each connection that
   kelnet_gen_ecouteur_thread accepts, before anything is read from it: 0
   refuses it, and the library then closes it as it closes connections
   past the cap (the routine sends what the client is to read first).
   It must not block. */
typedef int32_t (*kelnet_routine_admission)(uint32_t sd, kelnet_sockaddr sock_dist);

/* Process set-up: 0, -1 (socket layer refused), -2 (resolver lock). */
KEL_API int32_t kelnet_init(void);
KEL_API int32_t kelnet_term(void);

/* Listening. Ports in host order, addresses in network order. */
KEL_API int32_t kelnet_cree_ecouteur(uint32_t port, uint32_t adresse, uint32_t *sd);
KEL_API int32_t kelnet_gen_ecouteur(uint32_t *sd, uint32_t adresse, uint32_t port,
                                    kelnet_routine routine);
KEL_API int32_t kelnet_gen_ecouteur_thread(uint32_t *sd, uint32_t adresse, uint32_t port,
                                           kelnet_routine_thread routine);

/* Addresses and connections. Ports in network order. */
KEL_API uint32_t kelnet_resoudre_adresse(const char *nom);
KEL_API uint32_t kelnet_connecter(uint32_t adresse, uint16_t port);
KEL_API uint32_t kelnet_connecter_udp(uint32_t adresse, uint16_t port);
/* Writes the dotted quad into buffer (at least 16 characters); returns its length. */
KEL_API int32_t kelnet_aff_adresse(uint32_t adresse, char *buffer);

/* Sending and receiving. */
KEL_API int32_t kelnet_envoie(uint32_t sd, const void *data, int32_t longueur);
KEL_API int32_t kelnet_envoie_str(uint32_t sd, const char *texte);
KEL_API int32_t kelnet_sendto(uint32_t sd, uint32_t adresse, uint16_t port, const void *data,
                              int32_t longueur);
KEL_API int32_t kelnet_recv(uint32_t sd, void *buffer, int32_t longueur, int32_t tolerant);
KEL_API int32_t kelnet_recvfrom(uint32_t sd, uint32_t *adresse, uint16_t *port, uint16_t port_val,
                                void *buffer, int32_t taille);

/* Limits of the connection path, process-wide, in seconds; 0 means none
   (the default). Set before listening or while listeners run: sockets
   accepted or connected afterwards carry them, connections already open
   keep theirs.
   - entete: from accept to the complete request header read by
     kelnet_recup_entete on a connection thread of kelnet_gen_ecouteur_thread;
   - inactivite: a two-way relay in which no byte moved that long ends
     (-5); every blocking send and receive, the drain of kelnet_fermer and
     the wait of kelnet_est_connecte are bounded by it;
   - connexion: a kelnet_connecter not answered that long fails (10060).
   Negative values count as 0. */
KEL_API void kelnet_fixe_delais(int32_t entete, int32_t inactivite, int32_t connexion);
/* Cap on the running connection threads of kelnet_gen_ecouteur_thread; 0
   (the default) or less means none. A connection past it gets no thread:
   refus (may be null) is called with it, then the library closes it while
   the listener goes on accepting. */
KEL_API void kelnet_fixe_max_clients(int32_t maximum, kelnet_routine_refus refus);
/* Connection threads of kelnet_gen_ecouteur_thread running now. */
KEL_API int32_t kelnet_nb_clients(void);
/* The admission routine of new connections; null (the default) admits
   them all. */
KEL_API void kelnet_fixe_admission(kelnet_routine_admission admission);
/* With a maximum other than 0, a connection of kelnet_gen_ecouteur_thread
   waits for its request header without a thread, in an event loop on the
   listener's thread, until the header is complete (its blank line has
   arrived), 16 KiB of it have, the header deadline passes or the client
   closes; only then does it get its connection thread, which finds the
   header in the socket. At most maximum connections wait so (less than 0:
   no cap); one more gets refus (may be null) at once and is closed. With
   0 (the default) every connection gets its thread at accept: the
   protocol of a routine may have the server speak first. */
KEL_API void kelnet_fixe_max_attente(int32_t maximum, kelnet_routine_refus refus);
/* Connections waiting so now. */
KEL_API int32_t kelnet_nb_attente(void);

/* Both address families. The records above carry IPv4 only; these work
   beside them for IPv6. */

/* An address of either family: famille 4 (the first four octets) or 6,
   0 for none; octets and port in network order; zone the interface index
   of a link-local IPv6 address, 0 for none. */
typedef struct kelnet_adresse_ip {
    uint8_t famille;
    uint8_t octets[16];
    uint32_t zone;
    uint16_t port;
} kelnet_adresse_ip;

/* The peer of the calling connection thread of a threaded listener, or of
   the connection its admission and refusal routines are called with; an
   IPv4 client of a dual-stack socket is reported as IPv4. Its
   kelnet_sockaddr has family 0 and KELNET_AUCUNE_ADRESSE when the peer is
   IPv6. 0, or -1 (out zeroed) outside those. */
KEL_API int32_t kelnet_pair_courant(kelnet_adresse_ip *pair);
/* The address as text (dotted quad, or RFC 5952 IPv6 with "%zone") into
   buffer of taille bytes; its length, or -1 when it does not fit. */
KEL_API int32_t kelnet_aff_adresse_ip(const kelnet_adresse_ip *adresse, char *buffer, int32_t taille);
/* Whether IPv6 sockets can be had here (a dual-stack listener on "::"). */
KEL_API int32_t kelnet_ipv6_disponible(void);
/* Listens on the address literal ("::", "0.0.0.0", "127.0.0.1", "::1",
   "[fe80::1%eth0]"; "::" takes IPv4 clients too) and port (host order). 0;
   -1 when the text is no address (*sd untouched); -2 when the socket can't
   be made or bound (*sd invalid). */
KEL_API int32_t kelnet_cree_ecouteur_ip(const char *adresse, uint32_t port, uint32_t *sd);
/* The threaded listener of kelnet_gen_ecouteur_thread on nb sockets
   already listening (of either family), as one: the same admission,
   waiting room, cap and threads. Returns only when accepting fails: -3.
   The sockets stay the caller's. */
KEL_API int32_t kelnet_ecouteurs_thread(const uint32_t *sd, int32_t nb, kelnet_routine_thread routine);
/* Says whether the first bytes of a connection are enough for its thread:
   1 when they are (or never can be: the thread then finds out why), 0 to
   wait for more. Called on the listener's thread; it must not block. */
typedef int32_t (*kelnet_routine_complet)(const char *debut, int32_t longueur);

/* One service of a threaded listener: what kelnet_ecouteurs_service does
   with the connections of its sockets, beside the process-wide deadlines
   and caps of kelnet_fixe_delais, kelnet_fixe_max_clients and
   kelnet_fixe_max_attente, which every service counts against. */
typedef struct kelnet_service {
    kelnet_routine_thread routine;        /* the connection thread */
    kelnet_routine_admission admission;   /* null: every connection admitted */
    kelnet_routine_refus refus;           /* past the client cap; may be null */
    kelnet_routine_refus refus_attente;   /* past the waiting cap; may be null */
    /* Null: the connection gets its thread at accept (the server may
       speak first). Otherwise it waits without a thread, while the
       waiting room is open, until this says its first bytes are enough
       or the header deadline passes. */
    kelnet_routine_complet complet;
    /* A descriptor whose readability ends the listener (it returns 0);
       KELNET_INVALIDE for none. Connections already handed to their
       threads go on; those still waiting are closed. */
    uint32_t arret;
} kelnet_service;

/* The threaded listener on nb listening sockets with the service's own
   routines. 0 once arret is readable; -3 when accepting fails; -1 for
   bad arguments. The sockets stay the caller's. */
KEL_API int32_t kelnet_ecouteurs_service(const uint32_t *sd, int32_t nb, const kelnet_service *service);

/* Connects to every address of a host name (or literal, "[v6]" included),
   both families, as RFC 8305 races them: IPv6 first, the next address
   after 250 ms without an answer, the first to connect wins; bounded as a
   whole by the connect limit of kelnet_fixe_delais, and carrying the idle
   bound as kelnet_connecter's sockets do. Port in network order. The
   socket, or KELNET_INVALIDE with *erreur (may be null) -2 when the name
   does not resolve, -3 when no address connected; the thread's last error
   says why. */
KEL_API uint32_t kelnet_connecter_nom(const char *nom, uint16_t port, int32_t *erreur);

/* Closing and state. */
KEL_API int32_t kelnet_fermer(uint32_t sd);
KEL_API int32_t kelnet_est_connecte(uint32_t sd);

/* Error texts: constant, never released by the caller. Code 0 means the
   calling thread's last socket error. */
KEL_API const char *kelnet_msg_err(int32_t code);
KEL_API void kelnet_aff_err(const char *nom);

/* Reception into a growing heap block stored in *buffer; the caller releases
   it with free() whatever the result. 0, -1 (memory), -2 (peer closed),
   -3 (receive failed). */
KEL_API int32_t kelnet_recup_brut(uint32_t sd, char **buffer, int32_t *longueur, int32_t maximum,
                                  const char *terminateur, int32_t terminateur_lng,
                                  int32_t tolerant);
KEL_API int32_t kelnet_recup_str(uint32_t sd, char **buffer, int32_t maximum,
                                 const char *terminateur, int32_t tolerant);
KEL_API int32_t kelnet_recup(uint32_t sd, char **buffer, int32_t *longueur, int32_t maximum,
                             int32_t tolerant);
/* One header up to and including the first blank line, NUL-terminated;
   returns its size with the NUL, or -1. Nothing behind the blank line is
   taken from the socket. */
KEL_API int32_t kelnet_recup_entete(uint32_t sd, char **buffer);
KEL_API int32_t kelnet_recv_str(uint32_t sd, char *buffer, int32_t taille, int32_t tolerant);

/* What the calling thread's last kelnet_redir2 moved, for a caller that
   logs the exchange: the bytes from sd1 to sd2 and from sd2 to sd1, and the
   first bytes of each direction (at most 16, the rest of the array
   unspecified). All zero before the thread's first relay. */
#define KELNET_BILAN_DEBUT 16
typedef struct kelnet_bilan {
    uint64_t octets_1_vers_2;
    uint64_t octets_2_vers_1;
    int32_t debut_lng_1_vers_2;
    int32_t debut_lng_2_vers_1;
    char debut_1_vers_2[KELNET_BILAN_DEBUT];
    char debut_2_vers_1[KELNET_BILAN_DEBUT];
} kelnet_bilan;

/* Relaying. Both sockets are closed on every normal end. */
KEL_API int32_t kelnet_redir2(uint32_t sd1, uint32_t sd2);
/* As kelnet_redir2, for protocols whose clients end their sending first
   and wait for the answer: the close of one side's sending is passed on
   to the other (its socket is shut for sending), and the relay goes on the
   other way until that side closes too, or the idle bound passes with
   nothing moving. Same results and tally. */
KEL_API int32_t kelnet_redir2_demi(uint32_t sd1, uint32_t sd2);
/* The calling thread's last socket error as the support library saw it (a
   code of kelnet_msg_err), for callers that link their own copy of the
   socket layer. */
KEL_API int32_t kelnet_derniere_erreur(void);
/* Copies the tally of the calling thread's last kelnet_redir2 or
   kelnet_redir2_demi; null is a no-op. */
KEL_API void kelnet_bilan_redir(kelnet_bilan *bilan);
KEL_API void kelnet_redir2_thread(void *paire);
KEL_API int32_t kelnet_redir1(uint32_t source, uint32_t destination);
KEL_API void kelnet_redir1_thread(void *paire);
KEL_API int32_t kelnet_forward(uint32_t sd_ecoute, uint32_t sd_connecte);
KEL_API void kelnet_forward_thread(void *paire);

#ifdef __cplusplus
}
#endif

#endif
