// The load of the benchmark over TLS: the same frames and checks as RunLoad,
// each connection on a thread of its own with a blocking TLS client.
#ifndef KVX_BENCH_TLS_LOAD_H_
#define KVX_BENCH_TLS_LOAD_H_

#include "load_client.h"
#include "platform/tcp_client.h"

namespace kvx::bench {

// Opens the connections and runs every handshake first; the time counts
// from the first frame sent, once all are ready, to the last reply. The
// source-address spread of `target` is not used.
LoadResult RunTlsLoad(const Target& target, const LoadOptions& options,
                      const TlsClientOptions& tls);

}  // namespace kvx::bench

#endif  // KVX_BENCH_TLS_LOAD_H_
