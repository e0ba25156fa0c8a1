#pragma once

#include <memory>

#include "core/os/HttpClient.hpp"

namespace noctave::linuxos {

// The HTTP client on libcurl, which is opened (dlopen) at the first transfer; when it cannot
// be, every transfer fails with the reason. Each session owns one serial queue ("noctave.http",
// a worker thread) on which its transfers run one at a time and its completions are called.
//
// Every transfer: http and https only (a redirect from https may only lead to https), at most
// ten redirects, TLS verification on, no cookie engine, no cache, no .netrc, no compression
// (the size limit counts the bytes as they arrive), no retries and no waiting for the network.
// The session's request timeout (and the request's own timeout, when shorter) bounds the wait
// for the connection and for every next byte; the resource timeout bounds the whole transfer.
// Proxies come from the usual environment variables, as for every libcurl program.
class CurlHttpClient final : public os::HttpClient {
  public:
    CurlHttpClient();
    std::shared_ptr<os::HttpSession> makeSession(Configuration configuration) override;
};

}  // namespace noctave::linuxos
