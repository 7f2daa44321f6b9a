#pragma once

// The RSA public key that product ini signatures are verified with: a DER
// PKCS #1 RSAPublicKey at the head of the buffer, zero bytes after it. It is
// always handed whole to the key import, which ignores what follows the key.
// Chosen at build time with the option MORVANE_PUBLIC_KEY.
constexpr unsigned long PUBLIC_KEY_SIZE = 2048;
extern const unsigned char PUBLIC_KEY[PUBLIC_KEY_SIZE];
