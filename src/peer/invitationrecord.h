#pragma once

#include "core/transportdto.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <cstddef>
#include <vector>

// An invitation: what one machine hands to another so that the other can
// find it, recognise its key and name the invitation in its first handshake.
//
// Invitation text: "velm:" and the URL-safe Base64 text (no trailing '=') of
// qCompress(level 9) of the sealed record. The record is sealed like a
// session datagram (key id 10) under the key that Argon2id derives from the
// password. The plain record, TermStream fields:
//
//   offset  bytes  field
//   0       1      untagged 20, the record type
//   1       2      u8 version (1)
//   3       5      u32 flags (device type: 0 unknown, 1 desktop, 2 laptop)
//   8       9      u64 time, seconds since the epoch
//   17      37     blob public key (32 bytes)
//   54      2+     string invitation id (UTF-8)
//   ...     2+     string name of the inviting peer (UTF-8)
//   ...     5      list count n, then n transports:
//                    small count 3, u8 type code (tcp 1, udp 2, onion 4),
//                    string host (UTF-8, below 200 bytes), u16 port
//   ...     69     blob Ed25519 signature (64 bytes) over all bytes before it
//
// The reader keeps only transports that can be used from another machine:
// a known type, a port, a host that is well-formed UTF-8 and neither empty
// nor a loopback address.
//
// A sealed record is at most 512 bytes; the writer refuses to produce a
// larger one and the reader refuses to look at one. Readers do not check the
// signature (they do not know the signing key).
//
// The functions are reentrant and never throw; every failure is a Result.
struct InvitationRecord
{
    enum Result {
        Ok = 0,
        // Reading, in the order the stages run. Everything up to ErrorSize
        // is decided before anything is decompressed, everything up to
        // ErrorUncompress before any key is derived.
        ErrorTextTooLong = 1, // the text is over MaxTextLength characters
        ErrorScheme = 2,      // not a "velm:" text
        ErrorBase64 = 3,      // not URL-safe Base64
        ErrorSize = 4,        // no size header, or it states 0 or more than MaxSealedBytes
        ErrorUncompress = 5,  // not a zlib stream, or it disagrees with its size header
        ErrorKey = 6,         // the key could not be derived from the password
        ErrorOpen = 7,        // wrong password, or the record was altered
        ErrorRecordType = 8,  // the first byte is not the record type
        ErrorRecord = 9,      // malformed or cut short (a host of 200 bytes or more included)
        ErrorNoTransport = 10, // not one usable transport
        ErrorPublicKey = 11,  // the public key is not 32 bytes
        // Writing.
        ErrorNoKeyPair = 20,  // no own key pair to sign with and to hand out
        ErrorTooLarge = 21,   // the record does not fit into MaxSealedBytes
        ErrorSign = 22,
        ErrorSeal = 23,
    };

    static constexpr int MaxTextLength = 1024;
    static constexpr int MaxSealedBytes = 512;
    static constexpr int RecordBufferBytes = 1024;
    static constexpr std::size_t HostBufferBytes = 200; // a host and its terminator
    static constexpr std::size_t PublicKeyBytes = 32;
    static constexpr std::size_t SigningSeedBytes = 32;
    static constexpr quint8 RecordType = 20;
    static constexpr quint8 RecordVersion = 1;
    static constexpr quint32 FlagsMask = 15;

    enum TransportCode : quint8 {
        CodeNone = 0,
        CodeTcp = 1,
        CodeUdp = 2,
        CodeOnion = 4,
    };

    quint8 version = 0;      // as read; written as RecordVersion
    quint64 timestamp = 0;   // seconds since the epoch
    quint32 flags = 0;       // as read; written AND FlagsMask
    quint8 deviceType = 0;   // deviceTypeForFlags(flags)
    QByteArray publicKey;    // the inviting peer's public key
    QString id;              // the invitation's uuid
    QString name;            // the inviting peer's name
    std::vector<TransportDto> transports;

    // Writes the whole text. seed is the 32-byte signing seed (the secret
    // half of the own "pksk" key); publicKey must be 32 bytes. Transports of
    // other types than tcp, udp and onion are left out. On failure url is
    // cleared and nothing else happens.
    int encode(const QByteArray& seed, const QString& password, QUrl* url) const;

    // Reads a text under password into out. On failure out may be partly
    // filled and is not to be used.
    static int decode(const QString& text, const QString& password, InvitationRecord* out);

    // The layers one by one, outermost first, for callers that build or
    // take apart a text in steps.

    // The plain record with its signature, or an empty array when it does not
    // fit into RecordBufferBytes, the seed is not 32 bytes or signing fails
    // (result says which when given).
    QByteArray writePlain(const QByteArray& seed, int* result = nullptr) const;
    // Reads a plain record (the bytes after opening) into out.
    static int readPlain(const QByteArray& plain, InvitationRecord* out);
    // Seals and opens under the key derived from password.
    static int seal(const QByteArray& plain, const QString& password, QByteArray* sealed);
    static int open(const QByteArray& sealed, const QString& password, QByteArray* plain);
    // Compresses, encodes and prefixes; does not look at the size.
    static QUrl wrap(const QByteArray& sealed);
    // Takes a text apart down to the sealed record, refusing anything larger
    // than MaxSealedBytes before it is decompressed.
    static int unwrap(const QString& text, QByteArray* sealed);

    // flags AND 15 when (flags AND 3) is 1 or 2, else 0.
    static quint8 deviceTypeForFlags(quint32 flags);
    static quint8 transportCode(const QString& type);
    static QString transportType(quint8 code);
    // True for the hosts an invitation never carries to the other side: any
    // loopback address, an empty host.
    static bool isUnusableHost(const QString& host);

    // A sentence for the user about a failed result.
    static QString resultText(int result);
};
