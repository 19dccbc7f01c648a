// VXI-11 over ONC RPC: libtirpc receives, authenticates, decodes (with the
// bounds of vxi11.x) and answers; rpcgen's dispatchers call the procedures
// below, which hand each request to the gateway.
#include "RpcChannel.h"

#include "Network.h"

#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>

#include <rpc/pmap_clnt.h>
#include <rpc/svc_auth.h>

#include "vxi11.h"

extern "C" {
void device_core_1(struct svc_req *request, SVCXPRT *transport);
void device_async_1(struct svc_req *request, SVCXPRT *transport);
}

namespace ostrel::tool::serve {
namespace {

struct RpcSettings {
    Gateway *gateway = nullptr;
    unsigned short abortPort = 0; // told to clients in create_link
    unsigned idleSeconds = 600;
};

static_assert(DEVICE_DATA_MAX == kMessageMax && DEVICE_ERR_LOCKED == kErrLocked &&
              DEVICE_ERR_IO_TIMEOUT == kErrIoTimeout && DEVICE_ERR_ABORT == kErrAbort &&
              DEVICE_REASON_END == kReasonEnd && DEVICE_REASON_CHR == kReasonChar,
              "the gateway's codes are the protocol's");

// The connection whose call is being dispatched: rpcgen's procedures get
// only the request, and each connection has a thread of its own.
struct Context {
    const Client *client;
    const RpcSettings *settings;
};
thread_local Context current{};

Gateway &TheGateway()
{
    return *current.settings->gateway;
}

// Each procedure asks once its call has been decoded whole: from then on the
// call's own deadlines bound it, no longer the time a record may take.
const Client &Caller()
{
    if (current.client->expiry != nullptr)
        current.client->expiry->Never();
    return *current.client;
}

// A call has begun to come in: the connection is closed unless it is whole
// within the idle time, whether it stalls halfway or trickles in.
void AwaitCall()
{
    if (current.client->expiry != nullptr)
        current.client->expiry->In(current.settings->idleSeconds * 1000);
}

Waits WaitsOf(Device_Flags flags, u_long lockTimeout, u_long ioTimeout)
{
    return {.lockMs = static_cast<unsigned>(lockTimeout),
            .ioMs = static_cast<unsigned>(ioTimeout),
            .waitLock = (flags & DEVICE_FLAG_WAITLOCK) != 0};
}

// A request that names a link and how long it may wait, and carries nothing else.
int OnLink(int (Gateway::*request)(const Client &, long, const Waits &), const Device_GenericParms &parameters)
{
    return (TheGateway().*request)(Caller(), parameters.lid,
                                   WaitsOf(parameters.flags, parameters.lock_timeout, parameters.io_timeout));
}

using Dispatch = void (*)(svc_req *, SVCXPRT *);

// libtirpc sends a reply with blocking writes: a client that reads none
// would hold its connection's thread for good. A send that moves nothing for
// the idle time fails, and libtirpc drops the connection.
void BoundSends(int fd, unsigned seconds)
{
    const timeval bound{static_cast<time_t>(seconds), 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
}

// Room for a decoded AUTH_SYS credential (its fields, machine name and
// groups), the size libtirpc's own loop gives it.
constexpr size_t kDecodedCredential = 400;

// One call (and any the client sent behind it) read and answered; false once
// the connection has died. libtirpc's own loop serves every transport from
// one thread; here each connection has its own, so that a slow instrument
// holds up no other.
bool ServeCalls(SVCXPRT *transport, rpcprog_t program, Dispatch dispatch)
{
    rpc_msg message{};
    char credentials[2 * MAX_AUTH_BYTES + kDecodedCredential];
    message.rm_call.cb_cred.oa_base = credentials;
    message.rm_call.cb_verf.oa_base = credentials + MAX_AUTH_BYTES;
    do {
        AwaitCall();
        if (!SVC_RECV(transport, &message))
            return SVC_STAT(transport) != XPRT_DIED;
        svc_req request{};
        request.rq_xprt = transport;
        request.rq_prog = message.rm_call.cb_prog;
        request.rq_vers = message.rm_call.cb_vers;
        request.rq_proc = message.rm_call.cb_proc;
        request.rq_cred = message.rm_call.cb_cred;
        request.rq_clntcred = credentials + 2 * MAX_AUTH_BYTES;
        const auth_stat why = _authenticate(&request, &message);
        if (why != AUTH_OK)
            svcerr_auth(transport, why);
        else if (request.rq_prog != program)
            svcerr_noprog(transport);
        else if (request.rq_vers != 1)
            svcerr_progvers(transport, 1, 1);
        else
            dispatch(&request, transport);
    } while (SVC_STAT(transport) == XPRT_MOREREQS);
    if (current.client->expiry != nullptr)
        current.client->expiry->Never();
    return SVC_STAT(transport) != XPRT_DIED;
}

std::string Serve(int fd, const Client &client, const RpcSettings &settings, rpcprog_t program, Dispatch dispatch)
{
    // libtirpc closes the socket it was given; the connection's own stays
    // open until its thread has been joined.
    const int own = dup(fd);
    SVCXPRT *transport = own >= 0 ? svc_fd_create(own, 0, 0) : nullptr;
    if (transport == nullptr) {
        if (own >= 0)
            close(own);
        return "out of resources";
    }
    current = {&client, &settings};
    BoundSends(fd, settings.idleSeconds);
    const std::string idle = "idle for " + std::to_string(settings.idleSeconds) + " s";
    std::string why;
    for (;;) {
        if (WaitReadable(fd, settings.idleSeconds * 1000) == Wait::kIdle) {
            // The abort channel is silent by nature: it stays while the links it may abort do.
            if (program == DEVICE_ASYNC && settings.gateway->LinksFrom(client.address) > 0)
                continue;
            why = idle;
            break;
        }
        if (!ServeCalls(transport, program, dispatch))
            break;
    }
    if (client.expiry != nullptr && client.expiry->Expired())
        why = idle;
    settings.gateway->DestroyLinksOf(client.connection, why);
    SVC_DESTROY(transport);
    current = {};
    return why;
}

} // namespace

std::string RpcMissing()
{
    return "";
}

bool OpenRpc(const std::string &listen, unsigned port, Gateway &gateway, unsigned idleSeconds,
             Connections &connections, RpcPorts &ports, std::string &error)
{
    const Socket core = Listen(listen, port, ports.core, error);
    const Socket abort = core == kNoSocket ? kNoSocket : Listen(listen, port ? port + 1 : 0, ports.abort, error);
    if (abort == kNoSocket) {
        if (core != kNoSocket)
            CloseSocket(core);
        return false;
    }
    const RpcSettings settings{.gateway = &gateway, .abortPort = static_cast<unsigned short>(ports.abort),
                               .idleSeconds = idleSeconds};
    connections.Add(core, "core", [settings](Socket fd, const Client &client) {
        return Serve(fd, client, settings, DEVICE_CORE, device_core_1);
    });
    connections.Add(abort, "abort", [settings](Socket fd, const Client &client) {
        return Serve(fd, client, settings, DEVICE_ASYNC, device_async_1);
    });
    return true;
}

} // namespace ostrel::tool::serve

using namespace ostrel::tool::serve;

bool_t create_link_1_svc(Create_LinkParms *parameters, Create_LinkResp *result, struct svc_req *)
{
    long link = 0;
    result->error = TheGateway().CreateLink(parameters->device, Caller(), parameters->lockDevice,
                                            static_cast<unsigned>(parameters->lock_timeout), link);
    result->lid = link;
    result->abortPort = current.settings->abortPort;
    result->maxRecvSize = kMessageMax;
    return TRUE;
}

bool_t device_write_1_svc(Device_WriteParms *parameters, Device_WriteResp *result, struct svc_req *)
{
    const std::string data(parameters->data.data_val, parameters->data.data_len);
    result->error = TheGateway().Write(Caller(), parameters->lid,
                                       WaitsOf(parameters->flags, parameters->lock_timeout, parameters->io_timeout),
                                       (parameters->flags & DEVICE_FLAG_END) != 0, data);
    result->size = result->error == kErrNone ? parameters->data.data_len : 0;
    return TRUE;
}

bool_t device_read_1_svc(Device_ReadParms *parameters, Device_ReadResp *result, struct svc_req *)
{
    const int termChar =
        (parameters->flags & DEVICE_FLAG_TERMCHRSET) != 0 ? static_cast<unsigned char>(parameters->termChar) : -1;
    const ReadResult read = TheGateway().Read(
        Caller(), parameters->lid, WaitsOf(parameters->flags, parameters->lock_timeout, parameters->io_timeout),
        static_cast<unsigned>(std::min<u_long>(parameters->requestSize, kMessageMax)), termChar);
    result->error = read.error;
    result->reason = read.reason;
    // Freed by xdr_free in device_core_1_freeresult.
    result->data.data_len = static_cast<u_int>(read.data.size());
    result->data.data_val = static_cast<char *>(std::malloc(read.data.size() + 1));
    if (result->data.data_val == nullptr) {
        result->error = kErrOutOfResources;
        result->data.data_len = 0;
        return TRUE;
    }
    std::memcpy(result->data.data_val, read.data.data(), read.data.size());
    return TRUE;
}

bool_t device_readstb_1_svc(Device_GenericParms *parameters, Device_ReadStbResp *result, struct svc_req *)
{
    result->error = TheGateway().ReadStatusByte(Caller(), parameters->lid);
    result->stb = 0;
    return TRUE;
}

bool_t device_trigger_1_svc(Device_GenericParms *parameters, Device_Error *result, struct svc_req *)
{
    result->error = OnLink(&Gateway::Trigger, *parameters);
    return TRUE;
}

bool_t device_clear_1_svc(Device_GenericParms *parameters, Device_Error *result, struct svc_req *)
{
    result->error = OnLink(&Gateway::Clear, *parameters);
    return TRUE;
}

bool_t device_remote_1_svc(Device_GenericParms *parameters, Device_Error *result, struct svc_req *)
{
    result->error = OnLink(&Gateway::CheckAccess, *parameters);
    return TRUE;
}

bool_t device_local_1_svc(Device_GenericParms *parameters, Device_Error *result, struct svc_req *)
{
    result->error = OnLink(&Gateway::CheckAccess, *parameters);
    return TRUE;
}

bool_t device_lock_1_svc(Device_LockParms *parameters, Device_Error *result, struct svc_req *)
{
    result->error =
        TheGateway().Lock(Caller(), parameters->lid, WaitsOf(parameters->flags, parameters->lock_timeout, 0));
    return TRUE;
}

bool_t device_unlock_1_svc(Device_Link *link, Device_Error *result, struct svc_req *)
{
    result->error = TheGateway().Unlock(Caller(), *link);
    return TRUE;
}

bool_t destroy_link_1_svc(Device_Link *link, Device_Error *result, struct svc_req *)
{
    result->error = TheGateway().DestroyLink(Caller(), *link);
    return TRUE;
}

// Service requests, the interrupt channel and vendor commands: USB
// instruments reached through the library have nothing to carry them.
bool_t device_enable_srq_1_svc(Device_EnableSrqParms *, Device_Error *result, struct svc_req *)
{
    result->error = kErrNotSupported;
    return TRUE;
}

bool_t device_docmd_1_svc(Device_DocmdParms *, Device_DocmdResp *result, struct svc_req *)
{
    result->error = kErrNotSupported;
    result->data_out.data_out_len = 0;
    result->data_out.data_out_val = nullptr;
    return TRUE;
}

bool_t create_intr_chan_1_svc(Device_RemoteFunc *, Device_Error *result, struct svc_req *)
{
    result->error = kErrNotSupported;
    return TRUE;
}

bool_t destroy_intr_chan_1_svc(void *, Device_Error *result, struct svc_req *)
{
    result->error = kErrNotSupported;
    return TRUE;
}

bool_t device_abort_1_svc(Device_Link *link, Device_Error *result, struct svc_req *)
{
    result->error = TheGateway().Abort(Caller(), *link);
    return TRUE;
}

int device_core_1_freeresult(SVCXPRT *, xdrproc_t free, caddr_t result)
{
    xdr_free(free, result);
    return TRUE;
}

int device_async_1_freeresult(SVCXPRT *, xdrproc_t free, caddr_t result)
{
    xdr_free(free, result);
    return TRUE;
}
