// The server's certificate checked by the program itself against the
// machine's certificate store, after Schannel's own check: Schannel's
// automatic validation is not done everywhere (Wine's accepts any chain).
#pragma once

#include <curl/curl.h>

// True when the transfer just made on curl (with CURLOPT_CERTINFO on) went
// over a connection whose certificate chain the machine's store trusts for
// the URL's host, revocation checked where it can be; a reused connection
// was checked when it was made. A refusal is logged.
bool serverCertificateTrusted(CURL *curl);
