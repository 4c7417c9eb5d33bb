#include "peer/invitationcode.h"

#include <sodium.h>

namespace {
const char kAlphabet[] = "23456789"
                         "ABCDEFGHJKLMNPQRSTUVWXYZ"
                         "abcdefghijkmnpqrstuvwxyz";
constexpr uint32_t kAlphabetSize = sizeof(kAlphabet) - 1;
static_assert(kAlphabetSize == 56, "the code alphabet has 56 letters");
} // namespace

QString InvitationCode::alphabet()
{
    return QString::fromLatin1(kAlphabet, int(kAlphabetSize));
}

QString InvitationCode::generate()
{
    if (sodium_init() < 0)
        return QString();
    QString code;
    code.reserve(Length);
    for (int i = 0; i < Length; ++i)
        code.append(QLatin1Char(kAlphabet[randombytes_uniform(kAlphabetSize)]));
    return code;
}

bool InvitationCode::hasCodeLength(const QString& code)
{
    return code.size() == Length;
}
