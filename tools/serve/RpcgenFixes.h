/* Forced into rpcgen's dispatchers: arguments that fail to decode are freed
 * before the error reply, so that a request cut short after its claimed length
 * was allocated leaks nothing. The name inside the macro is not expanded again:
 * it calls libtirpc's own svcerr_decode. */
#include <rpc/rpc.h>
#define svcerr_decode(transport) \
    (svc_freeargs((transport), _xdr_argument, (caddr_t)&argument), svcerr_decode(transport))
