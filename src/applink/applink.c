/* OpenSSL's applink table, exported as OPENSSL_Applink so that OpenSSL
   libraries loaded into the process reach this executable's C runtime. The
   source is OpenSSL's own, fetched by scripts/bootstrap.sh. */
#include <openssl/applink.c>
