// SHA-256 of a stream of bytes: OpenSSL's libcrypto where the build found it and the machine has
// it (it uses the CPU's SHA instructions, about ten times the speed of Qt's own code, which would
// otherwise be the slowest step of a transfer), else QCryptographicHash. libcrypto is opened at the
// first hash, not linked into the program.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

namespace quillet {

class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(QByteArrayView bytes);
    QByteArray result(); // the 32 bytes of the digest; ends the computation

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace quillet
