// System error numbers and resolver failures as Windows Sockets codes, so
// that the library's table of error texts is the only one.
#include <netdb.h>

#include <cerrno>

#include "kelplat/net.h"

namespace kel::net {

int code_from_errno(int err) noexcept {
    switch (err) {
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES:
        case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE:
        case ENFILE: return 10024;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EAGAIN: return 10035;
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
        case ENOTSUP:
#endif
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET: return 10054;
        case ENOBUFS:
        case ENOMEM: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        // A send on a connection that has been shut down or has ended.
        case EPIPE:
        case ESHUTDOWN: return 10058;
        case ETOOMANYREFS: return 10059;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        case ENOTEMPTY: return 10066;
        case EUSERS: return 10068;
        case EDQUOT: return 10069;
        case ESTALE: return 10070;
        case EREMOTE: return 10071;
        default: return err;
    }
}

int code_from_resolver(int gai_result, int err) noexcept {
    switch (gai_result) {
        case EAI_NONAME: return kErrHostNotFound;
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return kErrNoData;
        case EAI_AGAIN: return 11002;  // temporary failure, try again
        case EAI_FAIL: return 11003;   // non-recoverable failure
        case EAI_MEMORY: return kErrNoBuffers;
        case EAI_SYSTEM: return code_from_errno(err);
        default: return kErrHostNotFound;
    }
}

}  // namespace kel::net
