#include "sha256.h"

#ifdef QUILLET_HAVE_OPENSSL
#include <openssl/evp.h>

#include <QLibrary>

#include <type_traits>
#endif
#include <QCryptographicHash>

namespace quillet {

#ifdef QUILLET_HAVE_OPENSSL
namespace {

// libcrypto is opened at the first hash, not linked: a program that never sends a file does not
// map it (1.4 MiB resident, and its relocations, at every start).
struct Crypto
{
    decltype(&EVP_MD_CTX_new) ctxNew = nullptr;
    decltype(&EVP_MD_CTX_free) ctxFree = nullptr;
    decltype(&EVP_sha256) sha256 = nullptr;
    decltype(&EVP_DigestInit_ex) init = nullptr;
    decltype(&EVP_DigestUpdate) update = nullptr;
    decltype(&EVP_DigestFinal_ex) finish = nullptr;

    Crypto()
    {
#if OPENSSL_VERSION_MAJOR >= 3
        QLibrary library(QStringLiteral("crypto"), OPENSSL_SHLIB_VERSION);
#else
        QLibrary library(QStringLiteral("crypto"), QStringLiteral(SHLIB_VERSION_NUMBER));
#endif
        library.setLoadHints(QLibrary::PreventUnloadHint);
        const auto resolve = [&library](auto &function, const char *name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(library.resolve(name));
            return function != nullptr;
        };
        if (!(resolve(ctxNew, "EVP_MD_CTX_new") && resolve(ctxFree, "EVP_MD_CTX_free")
              && resolve(sha256, "EVP_sha256") && resolve(init, "EVP_DigestInit_ex")
              && resolve(update, "EVP_DigestUpdate") && resolve(finish, "EVP_DigestFinal_ex")))
            ctxNew = nullptr; // not there: Qt's code does the work
    }
    bool available() const { return ctxNew != nullptr; }
};

const Crypto &crypto()
{
    static const Crypto functions;
    return functions;
}

} // namespace
#endif

struct Sha256::State {
#ifdef QUILLET_HAVE_OPENSSL
    EVP_MD_CTX *context = nullptr;
    ~State()
    {
        if (context)
            crypto().ctxFree(context);
    }
#endif
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256() : d(std::make_unique<State>())
{
#ifdef QUILLET_HAVE_OPENSSL
    const Crypto &c = crypto();
    if (!c.available())
        return;
    d->context = c.ctxNew();
    if (!d->context || c.init(d->context, c.sha256(), nullptr) != 1)
        qFatal("SHA-256 is not available from libcrypto");
#endif
}

void Sha256::addData(QByteArrayView bytes)
{
#ifdef QUILLET_HAVE_OPENSSL
    if (d->context) {
        crypto().update(d->context, bytes.data(), size_t(bytes.size()));
        return;
    }
#endif
    d->hash.addData(bytes);
}

QByteArray Sha256::result()
{
#ifdef QUILLET_HAVE_OPENSSL
    if (d->context) {
        QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
        unsigned int length = 0;
        crypto().finish(d->context, reinterpret_cast<unsigned char *>(digest.data()), &length);
        digest.truncate(length);
        return digest;
    }
#endif
    return d->hash.result();
}

Sha256::~Sha256() = default;

} // namespace quillet
