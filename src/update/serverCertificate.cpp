#include "update/serverCertificate.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <wincrypt.h>

#include "text/Utf8.h"

// The chain libcurl received, the server's certificate first, into store;
// the server's certificate into *leaf.
static bool receivedChain(CURL *curl, HCERTSTORE store, PCCERT_CONTEXT *leaf)
{
    struct curl_certinfo *info = NULL;
    if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK || !info || info->num_of_certs < 1)
        return false;
    for (int i = 0; i < info->num_of_certs; ++i) {
        for (struct curl_slist *field = info->certinfo[i]; field; field = field->next) {
            if (strncmp(field->data, "Cert:", 5) != 0)
                continue;
            static BYTE der[65536];
            DWORD size = sizeof der;
            const char *pem = field->data + 5;
            if (CryptStringToBinaryA(pem, (DWORD)strlen(pem), CRYPT_STRING_BASE64HEADER, der, &size, NULL, NULL))
                CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_ALWAYS,
                                                 i == 0 ? leaf : NULL);
        }
    }
    return *leaf != NULL;
}

// The policy's verdict for host on the chain built from leaf; 0 trusted.
static DWORD chainError(PCCERT_CONTEXT leaf, HCERTSTORE extra, const wchar_t *host)
{
    LPSTR serverAuth[] = {(LPSTR)szOID_PKIX_KP_SERVER_AUTH};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    PCCERT_CHAIN_CONTEXT chain = NULL;
    if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, leaf, NULL, extra, &para,
                                 CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, NULL, &chain))
        return GetLastError() ? GetLastError() : (DWORD)CERT_E_CHAINING;
    HTTPSPolicyCallbackData ssl = {};
    ssl.cbStruct = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = (wchar_t *)host;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    DWORD error = CERT_E_CHAINING;
    if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
        error = status.dwError;
    // Best effort: revocation that could not be checked fails nothing; a
    // certificate known to be revoked (CRYPT_E_REVOKED) still does.
    if (error == (DWORD)CRYPT_E_NO_REVOCATION_CHECK || error == (DWORD)CRYPT_E_REVOCATION_OFFLINE ||
        error == (DWORD)CERT_E_REVOCATION_FAILURE)
        error = 0;
    CertFreeCertificateChain(chain);
    return error;
}

unsigned long serverCertificateError(CURL *curl)
{
    long connects = 0;
    char *url = NULL;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
    if (!connects || !url || strncmp(url, "https://", 8) != 0)
        return 0;
    CURLU *handle = curl_url();
    char *host = NULL;
    wchar_t wideHost[256] = L"";
    if (handle && curl_url_set(handle, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        // An IPv6 address is matched without its brackets.
        const char *name = host[0] == '[' ? host + 1 : host;
        char bare[256];
        snprintf(bare, sizeof bare, "%.*s", (int)strcspn(name, "]"), name);
        toWide(bare, wideHost, sizeof wideHost / sizeof *wideHost);
    }
    curl_free(host);
    curl_url_cleanup(handle);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, NULL);
    PCCERT_CONTEXT leaf = NULL;
    DWORD error = (DWORD)CERT_E_CHAINING;
    if (store && receivedChain(curl, store, &leaf))
        error = chainError(leaf, store, wideHost);
    if (leaf)
        CertFreeCertificateContext(leaf);
    if (store)
        CertCloseStore(store, 0);
    return error;
}
