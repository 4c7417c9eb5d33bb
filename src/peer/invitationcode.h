#pragma once

#include <QString>

// The code of a new invitation: the password the invitation text is sealed
// under and that a pending invitation is announced under on the local
// network. Eight characters, each drawn on its own from the system's secure
// random generator over 56 letters and digits that cannot be mistaken for
// one another (no 0, O, o, 1, l, I): about 46 bits, so that trying every
// code against a captured announcement takes years, not hours. The code has
// nothing to do with the invitation's uuid.
class InvitationCode
{
public:
    static constexpr int Length = 8;

    // The letters codes are made of.
    static QString alphabet();
    // A new code; empty only if the random generator cannot be initialised.
    static QString generate();
    // Whether a code typed on the accepting side has the length of a code.
    // Its letters are not checked: a code made by an older version (eight
    // hexadecimal digits) is still accepted.
    static bool hasCodeLength(const QString& code);
};
