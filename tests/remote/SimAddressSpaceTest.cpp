// The simulated server's address space: declarations, and a string kept in
// step with its per-character elements the way remote mode writes them.
#include "SimAddressSpace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

std::string TextOf(const TTagTable& tags, const std::string& name)
{
    const auto h = tags.HandleOfName(name);
    EXPECT_NE(h, 0u) << name;
    return h ? tags.Value(h - TTagTable::kFirstHandle).textValue : std::string();
}

int IndexOf(const TTagTable& tags, const std::string& name)
{
    return static_cast<int>(tags.HandleOfName(name) - TTagTable::kFirstHandle);
}

// What a client's write leaves in a record before the space is told.
void ClientStores(TTagTable& tags, SimAddressSpace& space, const std::string& name, const std::string& text)
{
    tags.Value(static_cast<std::size_t>(IndexOf(tags, name))).textValue = text;
    space.Stored(IndexOf(tags, name));
}

} // namespace

TEST(SimTagSpec, ParsesTypesValuesAndRejectsTheRest)
{
    std::string error;
    auto s = ParseTagSpec(" Weight : String = 12 kg ", error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->name, "Weight");
    EXPECT_EQ(s->type, VT_BSTR);
    EXPECT_EQ(s->initial, " 12 kg "); // a string's value is taken as written
    s = ParseTagSpec("Ready:BOOLEAN=true", error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->type, VT_BOOL);
    s = ParseTagSpec("Flag:integer", error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->type, VT_I4);
    EXPECT_EQ(s->initial, "");

    EXPECT_FALSE(ParseTagSpec("NoType", error));
    EXPECT_NE(error.find("NAME:TYPE"), std::string::npos);
    EXPECT_FALSE(ParseTagSpec(":int", error));
    EXPECT_FALSE(ParseTagSpec("X:float", error));
    EXPECT_NE(error.find("float"), std::string::npos);
}

TEST(SimTagSpec, TagFileSkipsCommentsAndNamesTheBadLine)
{
    const std::string path = ::testing::TempDir() + "/sim-tags.txt";
    {
        std::ofstream f(path);
        f << "# remote-mode port\n\nRecv:string\nFlag:int=0\n";
    }
    std::vector<SimTagSpec> specs;
    std::string error;
    ASSERT_TRUE(ReadTagFile(path, specs, error)) << error;
    ASSERT_EQ(specs.size(), 2u);
    EXPECT_EQ(specs[1].name, "Flag");
    {
        std::ofstream f(path);
        f << "Recv:string\nbroken line\n";
    }
    specs.clear();
    EXPECT_FALSE(ReadTagFile(path, specs, error));
    EXPECT_NE(error.find(":2:"), std::string::npos) << error;
    EXPECT_FALSE(ReadTagFile(path + ".missing", specs, error));
    std::remove(path.c_str());
}

TEST(SimAddressSpace, DeclaresTypedTagsWithCanonicalText)
{
    TTagTable tags;
    SimAddressSpace space(tags);
    std::string error;
    ASSERT_TRUE(space.Add({"Flag", VT_I4, ""}, error)) << error;
    ASSERT_TRUE(space.Add({"Ready", VT_BOOL, "1"}, error)) << error;
    EXPECT_EQ(TextOf(tags, "Flag"), "0");
    EXPECT_EQ(TextOf(tags, "Ready"), "True");
    EXPECT_EQ(tags.CanonicalTypeOfHandle(tags.HandleOfName("Ready")), VT_BOOL);

    EXPECT_FALSE(space.Add({"Flag", VT_BSTR, ""}, error));
    EXPECT_NE(error.find("twice"), std::string::npos);
    EXPECT_FALSE(space.Add({"Count", VT_I4, "many"}, error));
    EXPECT_FALSE(space.Add({"A[1]", VT_I4, ""}, error));
    // A string needs room for "[256]" within the 64-character names.
    EXPECT_FALSE(space.Add({std::string(60, 'S'), VT_BSTR, ""}, error));
    EXPECT_TRUE(space.Add({std::string(60, 'I'), VT_I4, ""}, error)) << error;
    EXPECT_EQ(space.DeclaredCount(), 3u);
}

TEST(SimAddressSpace, StringAndItsElementsStayInStep)
{
    TTagTable tags;
    SimAddressSpace space(tags);
    std::string error;
    ASSERT_TRUE(space.Add({"Recv", VT_BSTR, "W+12.5kg"}, error)) << error;
    EXPECT_EQ(tags.CanonicalTypeOfHandle(tags.HandleOfName("Recv[1]")), VT_UI1);
    EXPECT_NE(tags.HandleOfName("Recv[256]"), 0u);
    EXPECT_EQ(tags.HandleOfName("Recv[257]"), 0u);
    EXPECT_EQ(TextOf(tags, "Recv[1]"), "87"); // 'W'
    EXPECT_EQ(TextOf(tags, "Recv[9]"), "0");

    // A shorter string written character by character keeps the old tail.
    ClientStores(tags, space, "Recv[1]", "68"); // D
    ClientStores(tags, space, "Recv[2]", "79"); // O
    EXPECT_EQ(TextOf(tags, "Recv"), "DO12.5kg");

    // The whole string refills the buffer: nothing of the old one is left.
    ClientStores(tags, space, "Recv", "OK");
    EXPECT_EQ(TextOf(tags, "Recv[2]"), "75");
    EXPECT_EQ(TextOf(tags, "Recv[3]"), "0");
    EXPECT_EQ(TextOf(tags, "Recv"), "OK");

    // A NUL in the middle ends the string; the characters after it stay.
    ClientStores(tags, space, "Recv[5]", "90");
    EXPECT_EQ(TextOf(tags, "Recv"), "OK");
    ClientStores(tags, space, "Recv[3]", "33");
    ClientStores(tags, space, "Recv[4]", "33");
    EXPECT_EQ(TextOf(tags, "Recv"), "OK!!Z");

    // 300 characters: the buffer holds 256.
    ClientStores(tags, space, "Recv", std::string(300, 'x'));
    EXPECT_EQ(TextOf(tags, "Recv").size(), 256u);
    EXPECT_EQ(TextOf(tags, "Recv[256]"), "120");
}
