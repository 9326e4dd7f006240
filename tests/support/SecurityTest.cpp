#include "SupportTestEnv.h"

#include <sodium.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

using namespace supporttest;

namespace {

// Sets an environment variable for the life of the object.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvVar() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;
private:
    const char* name_;
    std::optional<std::string> old_;
};

class Security : public SupportTest {
protected:
    const support::SecurityApi& sc = libs().sc;
    std::optional<EnvVar> config;

    void SetUp() override
    {
        // libsodium may keep a descriptor of the random device from its first
        // use on; take that before the leak baseline.
        ASSERT_GE(sodium_init(), 0);
        SupportTest::SetUp();
        config.emplace("XDG_CONFIG_HOME", dir.file("config").c_str());
    }
    void TearDown() override
    {
        config.reset();
        SupportTest::TearDown();
    }
    std::string keyFile() const { return dir.file("config/linvaro/secret.key"); }
    std::string encrypt(const std::string& plain) { return sc.Encrypt(plain.c_str()); }
    std::string decrypt(const std::string& text) { return sc.Decrypt(text.c_str()); }
};

TEST_F(Security, DecryptUndoesEncrypt)
{
    const std::string texts[] = {"", "secret", "pässwörd ✓ 日本語", "a=b; [x] \"q\" 'r'", std::string(10000, 'z')};
    for (const auto& plain : texts) {
        const std::string cipher = encrypt(plain);
        ASSERT_FALSE(cipher.empty());
        // Storable as one INI value.
        EXPECT_EQ(cipher.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        EXPECT_EQ(decrypt(cipher), plain);
    }
    const std::string first = encrypt("same"), second = encrypt("same");
    EXPECT_NE(first, second);
    EXPECT_EQ(decrypt(first), decrypt(second));
}

TEST_F(Security, KeyFileIsCreatedPrivateAndUsedAsTheSecretboxKey)
{
    const std::string cipher = encrypt("pw");
    struct stat st {};
    ASSERT_EQ(stat(keyFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(st.st_size, static_cast<off_t>(crypto_secretbox_KEYBYTES));

    // The stored form is base64 of nonce || box under that key.
    const std::string key = readFile(keyFile());
    std::vector<unsigned char> box(cipher.size());
    size_t size = 0;
    ASSERT_EQ(sodium_base642bin(box.data(), box.size(), cipher.c_str(), cipher.size(), nullptr, &size, nullptr,
                                sodium_base64_VARIANT_ORIGINAL),
              0);
    ASSERT_EQ(size, crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + 2);
    unsigned char plain[2];
    ASSERT_EQ(crypto_secretbox_open_easy(plain, box.data() + crypto_secretbox_NONCEBYTES,
                                         size - crypto_secretbox_NONCEBYTES, box.data(),
                                         reinterpret_cast<const unsigned char*>(key.data())),
              0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), 2), "pw");
    encrypt("again");
    EXPECT_EQ(readFile(keyFile()), key); // created once, then reused
}

TEST_F(Security, WithoutXdgConfigHomeTheKeyLiesUnderHome)
{
    const EnvVar home("HOME", dir.file("home").c_str());
    for (const char* xdg : {static_cast<const char*>(nullptr), "relative/ignored"}) {
        const EnvVar unset("XDG_CONFIG_HOME", xdg);
        EXPECT_EQ(decrypt(encrypt("x")), "x");
        EXPECT_TRUE(std::filesystem::exists(dir.file("home/.config/linvaro/secret.key")));
    }
    EXPECT_FALSE(std::filesystem::exists("relative"));
}

TEST_F(Security, AnythingNotMadeByEncryptWithThisKeyDecryptsToEmpty)
{
    const std::string cipher = encrypt("secret");
    std::string tampered = cipher;
    tampered[cipher.size() / 2] = tampered[cipher.size() / 2] == 'A' ? 'B' : 'A';
    std::string shortBox(sodium_base64_encoded_len(39, sodium_base64_VARIANT_ORIGINAL), '\0');
    const unsigned char zeros[39] = {};
    sodium_bin2base64(shortBox.data(), shortBox.size(), zeros, sizeof zeros, sodium_base64_VARIANT_ORIGINAL);
    const std::string bad[] = {tampered,
                               cipher.substr(0, cipher.size() - 4),
                               cipher + "AAAA",
                               cipher + "\n",
                               " " + cipher,
                               "",
                               "not base64 at all!",
                               "====",
                               shortBox.c_str(),
                               std::string(100, 'A')};
    for (const auto& text : bad)
        EXPECT_EQ(decrypt(text), "") << text;
    EXPECT_EQ(sc.Decrypt(nullptr), std::string());

    // Another user's key, another text.
    {
        const EnvVar other("XDG_CONFIG_HOME", dir.file("other").c_str());
        EXPECT_EQ(decrypt(cipher), "");
        EXPECT_EQ(decrypt(encrypt("theirs")), "theirs");
    }
    EXPECT_EQ(decrypt(cipher), "secret");
}

TEST_F(Security, AKeyFileOfTheWrongSizeIsRefusedAndKept)
{
    const std::string cipher = encrypt("secret");
    for (size_t size : {size_t(0), size_t(31), size_t(33)}) {
        const std::string wrong(size, 'k');
        writeFile(keyFile(), wrong);
        EXPECT_EQ(encrypt("x"), "") << size;
        EXPECT_EQ(decrypt(cipher), "") << size;
        EXPECT_EQ(readFile(keyFile()), wrong);
    }
}

TEST_F(Security, ProcessesRacingToCreateTheKeyAgreeOnOne)
{
    constexpr int kProcesses = 6;
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string cipher = sc.Encrypt(("from " + std::to_string(i)).c_str());
            writeFile(dir.file("cipher" + std::to_string(i)), cipher);
            _exit(cipher.empty() ? 1 : 0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int i = 0; i < kProcesses; ++i)
        EXPECT_EQ(decrypt(readFile(dir.file("cipher" + std::to_string(i)))), "from " + std::to_string(i));
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("config/linvaro")))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string> {"secret.key"});
}

} // namespace
