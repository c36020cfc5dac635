// The run's proxy: decided once, before the first request, from the
// administrator key, then the user's Windows settings, then the environment,
// and used by every transfer of the run.
#pragma once

#include <curl/curl.h>

#include "rules/proxyRules.h"

struct Policy;

struct ProxyDecision {
    ProxyList list;       // the entries to try in order; an empty entry is DIRECT
    int current;          // the entry in use: moves on when one cannot be reached
    bool fromEnvironment; // no list: libcurl reads the proxy variables itself
    bool ntlmOnly;        // Negotiate gave the proxy nothing: NTLM alone from then on
};

// Decides the proxy for url (the manifest's) and logs it once as
// "Proxy:       <proxy or DIRECT> (from <source>)". A PAC or auto-detection
// that fails is logged and the next source applies.
void decideProxy(const Policy *policy, const char *url, ProxyDecision *decision);

// The decision's current entry on curl, with the Windows account as the
// proxy's login (NTLM alone once Negotiate yielded nothing). DIRECT is set
// too: the proxy variables do not overrule the decision.
void proxyApply(CURL *curl, const ProxyDecision *decision);

// curl_easy_perform through the decided proxy: each entry of the list in
// turn while the previous cannot be reached, and the proxy's login with the
// Windows account (Negotiate, then NTLM alone when Negotiate yields nothing).
// Before a transfer is made again, restart(context) makes it ready; false
// stops there. decision keeps what was learnt for the later transfers.
CURLcode proxyPerform(CURL *curl, ProxyDecision *decision, bool (*restart)(void *context), void *context);
