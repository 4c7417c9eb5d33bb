#pragma once

#include <QString>

// A UUID as text in braces, e.g. "{8c7e2a52-...}". The own peer is the null
// UUID "{00000000-0000-0000-0000-000000000000}".
typedef QString Uuid;

// The one form in which UUIDs are stored and compared: braces, lower case.
// Text that is a UUID in another form (upper case, no braces, surrounding
// blanks) is brought into it; any other text comes back unchanged, so two
// different texts never collapse into one UUID.
Uuid normalizedUuid(const QString& text);
