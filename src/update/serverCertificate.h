// The server's certificate checked by the program itself against the
// machine's certificate store, after Schannel's own check: Schannel's
// automatic validation is not done everywhere (Wine's accepts any chain).
#pragma once

#include <curl/curl.h>

// 0 when the transfer on curl (with CURLOPT_CERTINFO on) goes over a
// connection whose certificate chain the machine's store trusts for the URL's
// host, revocation checked where it can be; otherwise the chain's error. Asked
// before the request: a reused connection was checked when it was made, and
// one that failed was closed then.
unsigned long serverCertificateError(CURL *curl);
