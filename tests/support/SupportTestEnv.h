#pragma once
// Shared by the support library tests: the libraries loaded once from the
// program folder, a temporary folder per test, and a check that a test
// leaves no descriptor open.
#include "SupportLibraries.h"

#include <gtest/gtest.h>

#include <string>

namespace supporttest {

// Loaded from ProgramFolder() on first use; fails the test when not loaded.
const support::SupportLibraries& libs();

// A fresh folder, removed with its contents at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
private:
    std::string path_;
};

int openDescriptors();
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// Base fixture: fails a test that ends with more descriptors open than it
// started with.
class SupportTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    TempDir dir;
private:
    int descriptors_ = 0;
};

} // namespace supporttest
