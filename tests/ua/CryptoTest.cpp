// The cryptographic building blocks of the secured channels against the
// published test vectors (HMAC-SHA256 of RFC 4231, the TLS 1.2 P_SHA256
// vector, AES-CBC of NIST SP 800-38A), the padding rule worked out by hand,
// and the RSA operations against each other and against tampering.
#include "Crypto.h"
#include "SecurityPolicy.h"

#include <gtest/gtest.h>

#include <string>

using namespace ua;

namespace {

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string FromHex(const std::string& hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

} // namespace

TEST(UaCrypto, HmacPSha256AndAesCbcMatchThePublishedVectors)
{
    // RFC 4231, test cases 1, 2 and 6 (a key longer than the block).
    EXPECT_EQ(Hex(crypto::HmacSha256(std::string(20, '\x0b'), "Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(Hex(crypto::HmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(Hex(crypto::HmacSha256(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");

    // The TLS 1.2 PRF vector for SHA-256: P_SHA256(secret, label + seed),
    // 100 bytes (not a whole number of HMAC blocks), and a prefix of it.
    const std::string secret = FromHex("9bbe436ba940f017b17652849a71db35");
    const std::string seed = "test label" + FromHex("a0ba9f936cda311827a6f796ffd5198c");
    const std::string expected = "e3f229ba727be17b8d122620557cd453c2aab21d07c3d495329b52d4e61edb5a6b301791e90d35c9c9a46b4e"
                                 "14baf9af0fa022f7077def17abfd3797c0564bab4fbc91666e9def9b97fce34f796789baa48082d122ee4"
                                 "2c5a72e5a5110fff70187347b66";
    EXPECT_EQ(Hex(crypto::PSha256(secret, seed, 100)), expected);
    EXPECT_EQ(Hex(crypto::PSha256(secret, seed, 32)), expected.substr(0, 64));

    // NIST SP 800-38A F.2.1 (AES-128-CBC) and F.2.5 (AES-256-CBC), two
    // blocks each, there and back; a part block is refused.
    const std::string iv = FromHex("000102030405060708090a0b0c0d0e0f");
    const std::string plain = FromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
    struct Case {
        const char* key;
        const char* cipher;
    } cases[] = {
        {"2b7e151628aed2a6abf7158809cf4f3c", "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"},
        {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"},
    };
    for (const Case& c : cases) {
        std::string data = plain;
        ASSERT_TRUE(crypto::AesCbc(true, FromHex(c.key), iv, data));
        EXPECT_EQ(Hex(data), c.cipher);
        ASSERT_TRUE(crypto::AesCbc(false, FromHex(c.key), iv, data));
        EXPECT_EQ(data, plain);
        std::string part = plain.substr(0, 20);
        EXPECT_FALSE(crypto::AesCbc(true, FromHex(c.key), iv, part));
    }
    EXPECT_TRUE(crypto::SameBytes("abc", "abc"));
    EXPECT_FALSE(crypto::SameBytes("abc", "abd"));
    EXPECT_FALSE(crypto::SameBytes("abc", "ab"));
}

TEST(UaCrypto, PaddingFillsWholeBlocksAndIsCheckedOnTheWayIn)
{
    // AES: 28 bytes from the sequence header on, a 32-byte HMAC, blocks of
    // 16: 28 + 1 + 32 = 61, so 3 bytes of padding after PaddingSize 3.
    std::string chunk(12, 'h');
    chunk += std::string(28, 'b');
    AppendPadding(chunk, 28, 32, 16, false);
    EXPECT_EQ(chunk.substr(40), std::string(4, '\x03'));
    EXPECT_EQ((28 + 4 + 32) % 16, 0);
    std::string back = chunk;
    ASSERT_TRUE(StripPadding(back, 12, false));
    EXPECT_EQ(back, std::string(12, 'h') + std::string(28, 'b'));

    // A block that needs none still gets PaddingSize 0: 15 + 1 + 32 = 48.
    std::string exact(15, 'b');
    AppendPadding(exact, 15, 32, 16, false);
    EXPECT_EQ(exact, std::string(15, 'b') + std::string(1, '\0'));

    // RSA-OAEP with a 4096-bit key: plain blocks of 512 - 42 = 470 bytes,
    // a 512-byte signature and the extra size byte: 1000 + 2 + 512 = 1514,
    // 1514 mod 470 = 104, so 366 = 0x016E bytes of padding: 367 bytes of
    // 0x6E, then 0x01.
    std::string big(1000, 'b');
    AppendPadding(big, 1000, 512, 470, true);
    ASSERT_EQ(big.size(), 1000u + 368u);
    EXPECT_EQ(big.substr(1000, 367), std::string(367, '\x6e'));
    EXPECT_EQ(big.back(), '\x01');
    EXPECT_EQ((big.size() + 512) % 470, 0u);
    std::string bigBack = big;
    ASSERT_TRUE(StripPadding(bigBack, 0, true));
    EXPECT_EQ(bigBack, std::string(1000, 'b'));

    // On the way in: a padding byte that differs, or a size that reaches
    // into the sequence header, is refused.
    std::string changed = chunk;
    changed[41] = '\x04';
    EXPECT_FALSE(StripPadding(changed, 12, false));
    std::string tooLong = std::string(12, 'h') + std::string(8, 's') + std::string(1, '\x09');
    EXPECT_FALSE(StripPadding(tooLong, 12, false));
    std::string highChanged = big;
    highChanged.back() = '\x02';
    EXPECT_FALSE(StripPadding(highChanged, 0, true));
}

TEST(UaCrypto, RsaEncryptsInBlocksAndSignaturesFailOnAnyChange)
{
    const crypto::RsaKey key = crypto::RsaKey::Generate(2048);
    const crypto::RsaKey other = crypto::RsaKey::Generate(2048);
    ASSERT_TRUE(key && other);
    EXPECT_EQ(key.Bits(), 2048);
    EXPECT_EQ(key.OaepPlainBlock(), 256u - 42u);

    // Three blocks of plain text make three blocks of cipher text.
    const std::string plain = crypto::Random(2 * key.OaepPlainBlock() + 7);
    std::string cipher, back;
    ASSERT_TRUE(key.Encrypt(plain, cipher));
    EXPECT_EQ(cipher.size(), 3 * key.Bytes());
    ASSERT_TRUE(key.Decrypt(cipher, back));
    EXPECT_EQ(back, plain);
    std::string wrong;
    EXPECT_FALSE(other.Decrypt(cipher, wrong));
    cipher[5] ^= 1;
    EXPECT_FALSE(key.Decrypt(cipher, wrong));

    std::string signature;
    ASSERT_TRUE(key.Sign("the message", signature));
    EXPECT_EQ(signature.size(), key.Bytes());
    EXPECT_TRUE(key.Verify("the message", signature));
    EXPECT_FALSE(key.Verify("the messagE", signature));
    EXPECT_FALSE(other.Verify("the message", signature));
    signature[0] ^= 0x80;
    EXPECT_FALSE(key.Verify("the message", signature));

    // The private key survives PEM; text that is no key gives none.
    const crypto::RsaKey again = crypto::RsaKey::FromPem(key.ToPem());
    ASSERT_TRUE(again);
    std::string s2;
    ASSERT_TRUE(again.Sign("x", s2));
    EXPECT_TRUE(key.Verify("x", s2));
    EXPECT_FALSE(crypto::RsaKey::FromPem("not a key"));
}
