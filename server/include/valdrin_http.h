#ifndef VALDRIN_HTTP_H
#define VALDRIN_HTTP_H

#include <stdint.h>

#if defined(__GNUC__)
#define VALDRIN_API __attribute__((visibility("default")))
#else
#define VALDRIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the proxy server. The host initialises the configuration store
   (kelcfg_init) and the log (kellog_init) first, and calls this once.
   Reads section "HTTP" of the configuration, makes the host program's
   folder the current directory, builds the allow-list and the ad-host
   table, loads "valdrin.sys" and starts the server thread.
   1: the server thread has been started; 0: the HTTP proxy is disabled
   ("HTTPEnabled" not true), nothing was done; -1: start-up failed, a
   diagnostic line has been written and no thread was started. */
VALDRIN_API int32_t demarre_serveur_http(void);

/* State of the listener, for a host that must not report success while
   nothing listens. 0: not started yet, or the listening socket is not
   listening yet; 1: the listening socket listens; negative: the server
   thread has ended with this listener result (-2: the listening socket
   could not be created or bound, for instance the port is taken; -3: a
   connection record could not be allocated). Thread-safe; cheap enough
   to poll. */
VALDRIN_API int32_t valdrin_http_etat(void);

/* Where the server listens, once it does: "[::]:3128" (IPv6 and IPv4),
   "0.0.0.0:3128", or the addresses of "HTTPListen" joined by ", ". Its
   length, or -1 (buffer "") before the server listens or when the text
   does not fit in taille bytes. */
VALDRIN_API int32_t valdrin_http_ecoute(char *buffer, int32_t taille);

/* Folders for the relative file names of the configuration: dossier
   becomes the current directory at start-up instead of the host program's
   folder, so that "adhosts" and "valdrin.sys" are read there; when it has
   no "valdrin.sys", the image is read from dossier_donnees. Either may be
   null to keep the default (the program's folder; no second folder).
   Call before demarre_serveur_http. 0, or -1 (nothing changed) when a
   folder is empty or longer than 1023 bytes. */
VALDRIN_API int32_t valdrin_http_fixe_dossiers(const char *dossier, const char *dossier_donnees);

/* Reads the configuration again, with the files it names, and gives every
   new connection the new allow-list, ad-host table, limits and image;
   the listening socket and the connections already open are left as they
   are. All or nothing: a value or file that can't be used leaves the
   running configuration whole, after a diagnostic line that names the key
   or the file. 0: applied; 1: applied, and a change of "HTTPPort" or
   "HTTPEnabled", which only a restart applies, was reported on the
   standard output; 2: applied, and a change of another setting that only
   a restart applies (the SOCKS port or addresses, for one) was reported
   so; -1: refused, nothing changed; -2: neither the server nor another
   service is running. Thread-safe; reloads run one at a time. */
VALDRIN_API int32_t valdrin_http_recharge(void);

/* Reads the configuration file at chemin exactly as start-up would (one
   read; relative names from the folder start-up takes them from, the
   allow-list's names resolved, the lists and the image loaded, the access
   log opened for appending) and writes each problem on the standard error
   as "file:line: why". The number of problems (0: the server would take
   the file), or -1 when nothing could be checked. Changes the current
   directory as start-up does. */
VALDRIN_API int32_t valdrin_http_verifie(const char *chemin);

/* The log settings of the configuration in force: "LogFile" and "ErrFile"
   of section "Main" as written (relative names are the host's to place)
   and whether "Verbose" is true. 0; -1 before start-up or when a name does
   not fit its buffer. */
VALDRIN_API int32_t valdrin_http_journal(char *fichier, int32_t taille_fichier, char *erreurs,
                                         int32_t taille_erreurs, int32_t *verbeux);

/* The services beside the HTTP proxy. */

/* Reads the configuration once, as demarre_serveur_http would, and makes
   it the snapshot in force for every service: the host calls it first,
   then demarre_serveur_http, valdrin_socks_demarre, valdrin_rdr_demarre
   and valdrin_dns_demarre, which all serve that snapshot without reading the
   file again. 0; -1 after a diagnostic line per problem. */
VALDRIN_API int32_t valdrin_config_charge(void);

/* Starts the SOCKS server of the snapshot in force on "SocksPort" at the
   addresses of "SocksListen": its sockets listen when this returns. 1:
   started; 0: "SocksEnabled" is not true; -1: no snapshot, or a socket
   could not listen (the diagnostic line names the address and port). */
VALDRIN_API int32_t valdrin_socks_demarre(void);

/* Starts the port redirector of the snapshot in force: one listener per
   "RDRBinding" at the addresses of "RDRListen". Reloads open the
   listeners of new bindings and close those of removed ones. 1: started
   (with or without bindings); 0: "RDREnabled" is not true; -1 as for
   valdrin_socks_demarre, every listener closed again. */
VALDRIN_API int32_t valdrin_rdr_demarre(void);

/* Starts the DNS proxy of the snapshot in force on "DNSPort", UDP and TCP,
   at the addresses of "DNSListen". Reloads take its servers, cache bound,
   blocking and hosts file. 1: started; 0: "DNSEnabled" is not true; -1 as
   for valdrin_socks_demarre (the line names the address and the port, and
   what to set when another name server holds it). */
VALDRIN_API int32_t valdrin_dns_demarre(void);

/* Where the services beside the HTTP proxy listen, one line each: "socks
   127.0.0.1:1080", "rdr [::]:8080". The length of the text written into
   buffer (0 when none listens), or -1 when it does not fit in taille
   bytes. */
VALDRIN_API int32_t valdrin_services_ecoute(char *buffer, int32_t taille);

#ifdef __cplusplus
}
#endif

#endif
