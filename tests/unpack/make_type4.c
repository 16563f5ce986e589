/* Writes a signedAndEnvelopedData file with OpenSSL's C API, the way OpenSSL does it (the
 * signature is stored as a plain RSA signature, not encrypted with the content key).
 * Usage: make_type4 SIGNER.pem SIGNER.key.pem RECIPIENT.pem DIGEST IN OUT */
#include <stdio.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

static X509* read_certificate(const char* path) {
    FILE* f = fopen(path, "rb");
    X509* x = f ? PEM_read_X509(f, NULL, NULL, NULL) : NULL;
    if (f) fclose(f);
    return x;
}

static EVP_PKEY* read_key(const char* path) {
    FILE* f = fopen(path, "rb");
    EVP_PKEY* k = f ? PEM_read_PrivateKey(f, NULL, NULL, NULL) : NULL;
    if (f) fclose(f);
    return k;
}

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: make_type4 signer.pem signer.key.pem recipient.pem digest in out\n");
        return 2;
    }
    X509* signer = read_certificate(argv[1]);
    EVP_PKEY* key = read_key(argv[2]);
    X509* recipient = read_certificate(argv[3]);
    const EVP_MD* md = EVP_get_digestbyname(argv[4]);
    BIO* in = BIO_new_file(argv[5], "rb");
    BIO* out = BIO_new_file(argv[6], "wb");
    PKCS7* p7 = PKCS7_new();
    int ok = signer && key && recipient && md && in && out && p7 &&
             PKCS7_set_type(p7, NID_pkcs7_signedAndEnveloped) && PKCS7_set_cipher(p7, EVP_aes_128_cbc()) &&
             PKCS7_add_signature(p7, signer, key, md) && PKCS7_add_certificate(p7, signer) &&
             PKCS7_add_recipient(p7, recipient);
    BIO* data = ok ? PKCS7_dataInit(p7, NULL) : NULL;
    if (data) {
        char buffer[4096];
        int n;
        while (ok && (n = BIO_read(in, buffer, sizeof buffer)) > 0) ok = BIO_write(data, buffer, n) == n;
        ok = ok && BIO_flush(data) > 0 && PKCS7_dataFinal(p7, data) && i2d_PKCS7_bio(out, p7);
    } else {
        ok = 0;
    }
    if (!ok) ERR_print_errors_fp(stderr);
    BIO_free_all(data);
    BIO_free(in);
    BIO_free(out);
    PKCS7_free(p7);
    X509_free(signer);
    X509_free(recipient);
    EVP_PKEY_free(key);
    return ok ? 0 : 1;
}
