// The grammar of the routing descriptions: counting, element numbering, joined codes, inflow
// modes, the network arrays, and a FATAL entry with its code for every malformed description.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "routing/description.hpp"

using namespace routing;

namespace {

// Records every call of the parser as one line of text.
class Recorder : public DescriptionSink {
public:
    std::vector<std::string> calls;
    void Begin(int n, int tg, double area, double factor, const ElementCounts& c) override {
        std::ostringstream s;
        s << "TG" << n << " " << tg << " " << area << " " << factor << " counts " << c.ol << c.sum << c.amp << c.zl
          << c.al << c.sp;
        calls.push_back(s.str());
    }
    void Channel(int e, int code, const std::vector<int>& joined, const double v[10]) override {
        std::ostringstream s;
        s << "C" << e << " " << code;
        for (int j : joined) s << "&" << j;
        s << " " << v[0] << ".." << v[9];
        calls.push_back(s.str());
    }
    void Inflow(int e, const InflowDef& def) override {
        std::ostringstream s;
        s << "Z" << e << " " << def.z << " m" << def.mode << " " << def.fileName << " " << def.firstRow << " "
          << def.column << " " << def.value;
        calls.push_back(s.str());
    }
    void Abstraction(int e, TextCursor& c) override {
        calls.push_back("A" + std::to_string(e));
        c.pos += 2;
    }
    void Reservoir(int e, TextCursor& c) override {
        calls.push_back("S" + std::to_string(e));
        c.pos += 2;
    }
};

const char* kChannel = " = 1 = 2 = 10 = 50 = 1 = 30 = 20 = 0.001 = 5000 = 10";

class DescriptionTest : public ::testing::Test {
protected:
    DescriptionTest() : log_("", 4) {
        log_.SetConsole(console_);
        zoneIndex_.assign(20, 0);
        zoneIndex_[3] = 1;
        zoneIndex_[5] = 2;
        zoneIndex_[9] = 3;
        zoneIndex_[12] = 4;
        zoneIndex_[13] = 5;
        zoneIndex_[14] = 6;
        targets_.Allocate(6);
        ctx_.zoneIndex = &zoneIndex_;
        ctx_.nSb = 6;
        ctx_.maxZoneCode = 14;
        ctx_.nZL = 2;
        ctx_.moduleName = "routing_model";
        ctx_.targets = &targets_;
    }
    // Parses text; returns the error code (0 when it is accepted).
    int Parse(const std::string& text) {
        try {
            ParseDescription(text, 1, ctx_, rec_, log_);
        } catch (const ModelError& e) {
            return e.code();
        }
        return 0;
    }
    // Runs both passes over a file holding text; returns the error code.
    int Passes(const std::string& text, NetworkTotals* totals = nullptr, int* n = nullptr) {
        std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        int code = 0;
        try {
            const NetworkTotals t = CountDescriptions(f, log_);
            if (totals) *totals = t;
            std::rewind(f);
            ctx_.nZL = t.counts.zl;
            std::string line;
            ReadLine(f, line);
            const int read = ReadDescriptions(f, line, ctx_, rec_, log_);
            if (n) *n = read;
        } catch (const ModelError& e) {
            code = e.code();
        }
        std::fclose(f);
        return code;
    }
    std::string Console() const { return console_.str(); }

    std::ostringstream console_;
    DiagLog log_;
    std::vector<int> zoneIndex_;
    RoutingTargets targets_;
    NetworkContext ctx_;
    Recorder rec_;
};

}  // namespace

TEST(KeywordCountTest, SubstringsRestartOneCharacterOn) {
    EXPECT_EQ(CountKeyword("OLOL OL", "OL"), 3);
    EXPECT_EQ(CountKeyword("&&&", "&"), 3);
    EXPECT_EQ(CountKeyword("SUMTRIB", "OL"), 0);
    const ElementCounts c = CountElements("TG 1 OL 2 SUMTRIB 3&4&5 ZL 1 AL 3 SP 4 SP 5");
    EXPECT_EQ(c.ol, 1);
    EXPECT_EQ(c.sum, 1);
    EXPECT_EQ(c.amp, 2);
    EXPECT_EQ(c.zl, 1);
    EXPECT_EQ(c.al, 1);
    EXPECT_EQ(c.sp, 2);
    EXPECT_TRUE(HasAnyKeyword("x SP"));
    EXPECT_FALSE(HasAnyKeyword("# comment line"));
}

TEST_F(DescriptionTest, ElementsAreNumberedByKind) {
    // Text order SUMTRIB, ZL, OL, OL: the OLs come first, then SUMTRIB, then the inflow.
    const std::string text = std::string("TG 9 (area) = 12.5 = 1.0 SUMTRIB 12&13&14 (k)") + kChannel +
                             " ZL 1 = constant 2.5 ch" + kChannel + " OL 3" + kChannel + " OL 5" + kChannel;
    ASSERT_EQ(Parse(text), 0) << Console();
    const std::vector<std::string> want = {"TG1 9 12.5 1 counts 212100",
                                           "C1 3 1..10",
                                           "C2 5 1..10",
                                           "C3 12&13&14 1..10",
                                           "Z4 1 m1  0 0 2.5",
                                           "C4 1 1..10"};
    EXPECT_EQ(rec_.calls, want);
    // Tributaries in parsing order: OL codes, then the SUMTRIB code followed by its joined codes.
    const std::vector<int> tributaries = {0, 1, 2, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(targets_.tributaries(), tributaries);
    for (int i : {1, 2, 4, 5, 6}) EXPECT_EQ(targets_.next()[i], 3) << i;
    EXPECT_EQ(targets_.description()[3], 1);
}

TEST_F(DescriptionTest, JoinedCodesEndAtTheFirstBlank) {
    ASSERT_EQ(Parse(std::string("TG 9 = 1 = 1 SUMTRIB 12 & 13") + kChannel), 0) << Console();
    EXPECT_EQ(rec_.calls.back(), "C1 12 1..10");
}

TEST_F(DescriptionTest, InflowModes) {
    ctx_.nZL = 3;
    ASSERT_EQ(Parse(std::string("TG 9 = 1 = 1 ZL 1 = extern q.dat 5 7") + kChannel + " ZL 2 = intern" + kChannel +
                    " ZL 3 = constant 4" + kChannel),
              0)
        << Console();
    EXPECT_EQ(rec_.calls[1], "Z1 1 m4 q.dat 5 7 0");
    EXPECT_EQ(rec_.calls[3], "Z2 2 m3  0 0 0");
    EXPECT_EQ(rec_.calls[5], "Z3 3 m1  0 0 4");
}

TEST_F(DescriptionTest, AbstractionsAndReservoirsFollowTheChannels) {
    ASSERT_EQ(Parse(std::string("TG 9 = 1 = 1 SP 2 file = x AL 4 intern OL 3") + kChannel), 0) << Console();
    const std::vector<std::string> want = {"TG1 9 1 1 counts 100011", "C1 3 1..10", "A2", "S3"};
    EXPECT_EQ(rec_.calls, want);
}

TEST_F(DescriptionTest, MalformedDescriptionsAreFatal) {
    const std::string c = kChannel;
    struct Case {
        std::string text;
        int code;
        const char* message;
    } cases[] = {
        {"TG 4 = 1 = 1", 41, "there is no subbasin with code 4"},
        {"TG 99999999999 = 1 = 1", 41, "there is no subbasin with code"},
        {"TG -3 = 1 = 1", 41, "there is no subbasin with code -3"},
        {"TG x = 1 = 1", 41, "no subbasin code after \"TG\""},
        {"TG 9 = 1", 41, "area factor of subbasin 9"},
        {"TG 9 = 1 = 0", 17, "area factor (AErel) of subbasin 9 must be greater than 0"},
        {"TG 9 = 1 = -2", 17, "AErel"},
        {"TG 9 = 1 = 1 OL 4" + c, 41, "there cant be a tributary with code 4 for no subbasin (according to zones)\n"},
        {"TG 9 = 1 = 1 OL 9" + c, 41,
         "subbasin 9: code of tributary 1 (9) is equal to subbasin code!\nIt is not allowed to rout the outflow of a "
         "subbasin back into \nthe same subbasin. Use a reservoir instead.\n"},
        {"TG 9 = 1 = 1 SUMTRIB 9" + c, 41, "(9) is equal to subbasin code!"},
        {"TG 9 = 1 = 1 SUMTRIB 4" + c, 41, "there cant be a tributary with code 4"},
        {"TG 9 = 1 = 1 SUMTRIB 3&4" + c, 41, "there cant be a tributary with code 4"},
        {"TG 9 = 1 = 1 SUMTRIB 3&x" + c, 41, "there cant be a tributary with code x"},
        {"TG 9 = 1 = 1 SUMTRIB 3&5&12&13&14&5&12&13&14&5&12" + c, 41, "more than 9 codes joined"},
        {"TG 9 = 1 = 1 OL 3 = 1 = 2", 41, "channel value 3 of tributary 3"},
        {"TG 9 = 1 = 1 OL 3 = 1 = 2 = x", 41, "missing \"=\" or number"},
        {"TG 9 = 1 = 1 ZL 3 = constant 1" + c, 42,
         "there is/are only 2 inflow(s) for the entire basin,\n but the codes ranges from 1 to at least 3! in "
         "routing_model"},
        {"TG 9 = 1 = 1 ZL 0 = constant 1" + c, 42, "inflow numbers range from 1 to 2"},
        {"TG 9 = 1 = 1 ZL 1 = Intern" + c, 42, "the modus \"Intern\" is not supported for inflow 1"},
        {"TG 9 = 1 = 1 ZL 1 = constantconstantconstant 1" + c, 42, "is not supported for inflow 1"},
        {"TG 9 = 1 = 1 ZL 1 = extern " + std::string(300, 'f') + " 1 5" + c, 42, "longer than 299 characters"},
        {"TG 9 = 1 = 1 ZL 1 = extern q.dat x" + c, 42, "missing start row or column"},
        {"TG 9 = 1 = 1 ZL 1 constant 1", 42, "missing \"=\" and mode"},
        {"TG 9 (SOLL) = 1 = 1 OL 3" + c, 41, "\"OL\" before the values"},
    };
    for (const Case& k : cases) {
        console_.str("");
        rec_.calls.clear();
        targets_.Allocate(6);
        EXPECT_EQ(Parse(k.text), k.code) << k.text;
        EXPECT_NE(Console().find(k.message), std::string::npos) << k.text << "\n" << Console();
    }
}

TEST_F(DescriptionTest, MoreTributariesThanTheNetworkHolds) {
    ctx_.nSb = 3;
    zoneIndex_.assign(20, 0);
    zoneIndex_[3] = 1;
    zoneIndex_[5] = 2;
    zoneIndex_[9] = 3;
    targets_.Allocate(3);  // six entries
    std::string text = "TG 9 = 1 = 1";
    for (int i = 0; i < 7; ++i) text += std::string(" OL 3") + kChannel;
    EXPECT_EQ(Parse(text), 41);
    EXPECT_NE(Console().find("more tributaries than the 6"), std::string::npos) << Console();
}

TEST_F(DescriptionTest, BothPassesCountTheSameNetwork) {
    const std::string text = std::string("TG 3 = 1 = 1\nTG 5 = 1 = 1\n  OL 3") + kChannel +
                             "\nTG 9 = 2 = 1 SUMTRIB 12&13" + kChannel + "\nZL 1 = constant 1" + kChannel +
                             "\n# end of the descriptions\nTG 14 = 1 = 1\n";
    NetworkTotals t;
    int n = 0;
    ASSERT_EQ(Passes(text, &t, &n), 0) << Console();
    EXPECT_EQ(t.nDesc, 3);  // the comment line ends the list
    EXPECT_EQ(n, 3);
    EXPECT_EQ(t.counts.ol, 1);
    EXPECT_EQ(t.counts.sum, 1);
    EXPECT_EQ(t.counts.amp, 1);
    EXPECT_EQ(t.counts.zl, 1);
    for (const char* line : {"number inbetween areas (routings)    : 3", "number tributaries  total      (OL)  : 3",
                             " - flowing into another at the end   : 1", " - flowing into another at the start : 2",
                             "so the total of routingchannels is   : 2", "number of inflows              (ZL)  : 1",
                             "number of abstractions         (AL)  : 0", "number reservoirs              (SP)  : 0",
                             "reading routing description 3"})
        EXPECT_NE(Console().find(line), std::string::npos) << line << "\n" << Console();
    // The continuation line of the third description was joined to it.
    EXPECT_EQ(rec_.calls.back(), "C2 1 1..10");
}

TEST_F(DescriptionTest, ContinuationLinesAreGluedWithoutSeparator) {
    // "= 1" on the next line is no continuation (no keyword): the description ends.
    ASSERT_EQ(Passes("TG 9 = 1 = 1 OL\n3 x\nend\n"), 41);
    rec_.calls.clear();
    console_.str("");
    // A line beginning with a digit is glued to the code of the line before.
    ASSERT_EQ(Passes(std::string("TG 9 = 1 = 1 OL 4\n4 OL") + kChannel + kChannel + "\nend\n"), 41);
    EXPECT_NE(Console().find("code 44 for no subbasin"), std::string::npos) << Console();
}

TEST_F(DescriptionTest, EndOfFileAndLongLinesAreFatal) {
    struct Case {
        std::string text;
        int code;
        const char* message;
    } cases[] = {
        {"", 38, "error reading a routing description from control file! (eof reached)."},
        {"TG 9 = 1 = 1\n", 38, "error reading a routing description from control file! (eof reached)."},
        {"TG 9 = 1 = 1 " + std::string(1190, 'x') + "\nend\n", 40, "string is too long (max. 1200 chars):\n"},
    };
    for (const Case& k : cases) {
        console_.str("");
        EXPECT_EQ(Passes(k.text), k.code) << k.text.substr(0, 40);
        EXPECT_NE(Console().find(k.message), std::string::npos) << Console();
    }
    // The second pass alone: a description on the last line.
    console_.str("");
    const std::string last = "TG 9 = 1 = 1\n";
    std::FILE* f = fmemopen(const_cast<char*>(last.data()), last.size(), "r");
    std::string line;
    ReadLine(f, line);
    int code = 0;
    try {
        ReadDescriptions(f, line, ctx_, rec_, log_);
    } catch (const ModelError& e) {
        code = e.code();
    }
    std::fclose(f);
    EXPECT_EQ(code, 38);
    EXPECT_NE(Console().find("unexpected end of control file reached reading routing descriptions"), std::string::npos);
}

TEST_F(DescriptionTest, JoinedTextOverItsLimitIsFatal) {
    std::string text = "TG 9 = 1 = 1\n";
    for (int i = 0; i < 12; ++i) text += "  SP " + std::string(1100, 'x') + "\n";
    text += "end\n";
    EXPECT_EQ(Passes(text), 40);
    EXPECT_NE(Console().find("string is too long (max. 12000 chars)"), std::string::npos);
}
