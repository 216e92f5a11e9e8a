// JSON configuration: strict file reading on real files, the getters' jsoncpp
// conversions, the list conversions and the object-text constructor.
#include "config.h"

#include <gtest/gtest.h>

#include "logger.h"
#include "test_support.h"

namespace {

using VelkTest::LogCapture;

using namespace Velk;
using VelkTest::TempDir;
using VelkTest::writeFile;

// Routes the log to standard error and collects it while it lives.
JsonConfig configOf(const std::string& text) {
    return JsonConfigString(text);
}

TEST(ReadJson, ObjectFileIsParsedAndLogged) {
    TempDir dir;
    const auto path = dir / "conf.json";
    writeFile(path, R"({"listen:port": 4000, "listen:addr": "127.0.0.1", "debug:level": "debug"})");

    LogCapture log;
    const Json::Value value = readJson(path);
    const std::string text = log.finish();

    ASSERT_TRUE(value.isObject());
    EXPECT_EQ(value["listen:port"].asInt(), 4000);
    EXPECT_EQ(value["listen:addr"].asString(), "127.0.0.1");
    EXPECT_NE(text.find("readJson: file: " + path.string() + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("failed"), std::string::npos) << text;
}

TEST(ReadJson, ArrayFileIsAcceptedAsRoot) {
    TempDir dir;
    writeFile(dir / "rules.json", R"([{"wm:class": "xterm"}, {"wm:class": "xclock"}])");
    const Json::Value value = readJson(dir / "rules.json");
    ASSERT_TRUE(value.isArray());
    EXPECT_EQ(value.size(), 2U);
}

TEST(ReadJson, MissingFileGivesNullValueAndOneError) {
    TempDir dir;
    const auto path = dir / "absent.json";
    LogCapture log;
    const Json::Value value = readJson(path);
    const std::string text = log.finish();

    EXPECT_TRUE(value.isNull());
    EXPECT_EQ(VelkTest::countOccurrences(text, "readJson: open failed, path: " + path.string() + "\n"), 1U)
        << text;
}

// Each text fails strict parsing: one error with the reader's text (line and
// column), no exception, never a crash.
TEST(ReadJson, StrictSyntaxErrorsAreLoggedNotThrown) {
    const std::vector<std::string> texts = {
        "42",                            // root must be an object or array
        "\"text\"",                      // likewise
        "/* head */ {\"a\": 1}",         // a comment where a value is expected
        "{\"a\": /* x */ 1}",            //
        "[1, // c\n 2]",                 //
        "{\"a\": ",                      // truncated
        "{\"a\": 1,,}",                  // garbage
        "",                              // empty file
        std::string("{\"a\"\0: 1}", 9),  // NUL inside
        "{\"a\": [1, 2}",                // unbalanced
        "\xff\xfe{}",                    // binary junk
    };
    for (const auto& json : texts) {
        TempDir dir;
        const auto path = dir / "bad.json";
        writeFile(path, json);

        LogCapture log;
        EXPECT_NO_THROW(readJson(path)) << json;
        const std::string text = log.finish();

        EXPECT_EQ(VelkTest::countOccurrences(
                      text, "readJson: parse failed, path: " + path.string() + ", json error: `"),
                  1U)
            << json << "\n"
            << text;
        EXPECT_NE(text.find("Line 1, Column"), std::string::npos) << text;
    }
}

// A half-written file must not pass for a configuration: the part the reader
// got through would be an object with every later key missing.
TEST(ReadJson, TruncatedObjectFileGivesANullValue) {
    TempDir dir;
    writeFile(dir / "cut.json", "{\"listen:port\": 4000, \"listen:addr\": ");
    LogCapture log;
    const Json::Value value = readJson(dir / "cut.json");
    EXPECT_NE(log.finish().find("parse failed"), std::string::npos);
    EXPECT_TRUE(value.isNull());
}

// jsoncpp's strict Reader skips comments between members or elements and does
// not look past the root value: these files parse without a message.
TEST(ReadJson, JsoncppStrictReaderToleratesSomeCommentsAndTrailingText) {
    for (const std::string json :
         {"{\"a\": 1} // tail", "{\"a\": 1, /* inside */ \"b\": 2}", "{\"a\": 1} junk"}) {
        TempDir dir;
        writeFile(dir / "c.json", json);
        LogCapture log;
        const Json::Value value = readJson(dir / "c.json");
        const std::string text = log.finish();
        EXPECT_TRUE(value.isObject()) << json;
        EXPECT_EQ(value["a"].asInt(), 1) << json;
        EXPECT_EQ(text.find("failed"), std::string::npos) << json << "\n" << text;
    }
}

TEST(ReadJson, NestingBeyondTheReadersLimitIsAParseFailure) {
    TempDir dir;
    const auto path = dir / "deep.json";
    writeFile(path, std::string(5000, '[') + std::string(5000, ']'));
    LogCapture log;
    EXPECT_NO_THROW(readJson(path));
    const std::string text = log.finish();
    EXPECT_EQ(VelkTest::countOccurrences(text, "readJson: parse failed, path: " + path.string() +
                                                   ", json error: `Exceeded stackLimit"),
              1U)
        << text;
}

TEST(ReadJson, NumberRootIsRejectedByStrictMode) {
    TempDir dir;
    writeFile(dir / "num.json", "42");
    LogCapture log;
    const Json::Value value = readJson(dir / "num.json");
    const std::string text = log.finish();
    EXPECT_FALSE(value.isObject());
    EXPECT_NE(text.find("parse failed"), std::string::npos) << text;
}

TEST(ReadJson, DirectoryIsAnUnreadableFile) {
    TempDir dir;
    LogCapture log;
    Json::Value value;
    EXPECT_NO_THROW(value = readJson(dir.path()));
    const std::string text = log.finish();
    EXPECT_TRUE(value.isNull());
    EXPECT_EQ(VelkTest::countOccurrences(text, "readJson: open failed, path: " + dir.path().string() + "\n"),
              1U)
        << text;
}

TEST(JsonGetters, AbsentKeyGivesTheDefault) {
    const JsonConfig config = configOf("{}");
    EXPECT_EQ(config.getInteger("port", 3389), 3389);
    EXPECT_EQ(config.getString("addr", "0.0.0.0"), "0.0.0.0");
    EXPECT_DOUBLE_EQ(config.getDouble("scale", 1.5), 1.5);
    EXPECT_TRUE(config.getBoolean("flag", true));
    EXPECT_FALSE(config.getBoolean("flag", false));
    EXPECT_TRUE(config.getValue("any").isNull());
    EXPECT_TRUE(config.getStringList("args").empty());
    EXPECT_TRUE(config.getVectorList("args").empty());
    EXPECT_TRUE(config.getKeys().empty());
    EXPECT_FALSE(config.hasValue("port"));
}

TEST(JsonGetters, NullMemberGivesTheTypesEmptyValueNotTheDefault) {
    const JsonConfig config = configOf(R"({"port": null, "addr": null, "scale": null, "flag": null})");
    EXPECT_TRUE(config.hasValue("port"));
    EXPECT_EQ(config.getInteger("port", 3389), 0);
    EXPECT_EQ(config.getString("addr", "0.0.0.0"), "");
    EXPECT_DOUBLE_EQ(config.getDouble("scale", 1.5), 0.0);
    EXPECT_FALSE(config.getBoolean("flag", true));
}

TEST(JsonGetters, ConversionsFollowJsoncpp) {
    const JsonConfig config =
        configOf(R"({"num": 5, "real": 2.5, "yes": true, "text": "abc", "big": 4294967296, "one": 1})");
    EXPECT_EQ(config.getString("num", ""), "5");
    EXPECT_EQ(config.getString("yes", ""), "true");
    EXPECT_EQ(config.getInteger("real", 0), 2);
    EXPECT_EQ(config.getInteger("yes", 0), 1);
    EXPECT_DOUBLE_EQ(config.getDouble("num", 0), 5.0);
    EXPECT_TRUE(config.getBoolean("one", false));
    EXPECT_TRUE(config.getBoolean("num", false));
    EXPECT_EQ(config.getString("text", "x"), "abc");

    EXPECT_THROW(config.getInteger("text", 3389), Json::LogicError);
    EXPECT_THROW(config.getInteger("big", 0), Json::LogicError) << "out of int range";
    EXPECT_THROW(config.getDouble("text", 0), Json::LogicError);
    EXPECT_THROW(config.getBoolean("text", false), Json::LogicError);
}

TEST(JsonGetters, StringForGetIntegerRaisesJsoncppsError) {
    const JsonConfig config = configOf(R"({"port": "abc"})");
    EXPECT_THROW(config.getInteger("port", 3389), Json::Exception);
}

TEST(JsonGetters, ArrayOrObjectForScalarGettersRaises) {
    const JsonConfig config = configOf(R"({"list": [1], "obj": {"a": 1}})");
    EXPECT_THROW(config.getString("list", ""), Json::LogicError);
    EXPECT_THROW(config.getInteger("obj", 0), Json::LogicError);
    EXPECT_EQ(config.getValue("obj")["a"].asInt(), 1);
}

TEST(JsonGetters, ColonKeyIsOneMemberName) {
    const JsonConfig config = configOf(R"({"wm:window:role": "dialog", "wm": {"window": {"role": "x"}}})");
    EXPECT_TRUE(config.hasValue("wm:window:role"));
    EXPECT_EQ(config.getString("wm:window:role", ""), "dialog");
    EXPECT_FALSE(config.hasValue("wm:window"));
    EXPECT_FALSE(config.hasValue("wm.window.role"));
    EXPECT_EQ(config.getKeys(), (std::vector<std::string>{"wm", "wm:window:role"}));
}

TEST(JsonGetters, KeyViewIsReadOverItsOwnLength) {
    const JsonConfig config = configOf(R"({"port": 1, "portx": 2})");
    const std::string_view key = std::string_view("portx").substr(0, 4);
    EXPECT_EQ(config.getInteger(key, 0), 1);
    EXPECT_TRUE(config.hasValue(key));
}

TEST(JsonLists, ElementsBecomeStringsByJsoncppsRules) {
    const JsonConfig config =
        configOf(R"({"args": ["a", 2, true], "one": "one", "empty": [], "obj": {"a": 1}})");
    EXPECT_EQ(config.getStringList("args"), (std::list<std::string>{"a", "2", "true"}));
    EXPECT_EQ(config.getVectorList("args"), (std::vector<std::string>{"a", "2", "true"}));
    EXPECT_TRUE(config.getStringList("one").empty());
    EXPECT_TRUE(config.getVectorList("one").empty());
    EXPECT_TRUE(config.getStringList("empty").empty());
    EXPECT_TRUE(config.getStringList("obj").empty());
}

TEST(JsonLists, NestedContainerElementRaises) {
    const JsonConfig config = configOf(R"({"args": ["a", ["b"]], "objs": [{"a": 1}]})");
    EXPECT_THROW(config.getStringList("args"), Json::LogicError);
    EXPECT_THROW(config.getVectorList("objs"), Json::LogicError);
}

TEST(JsonLists, ValueConversionsOnPlainValues) {
    Json::Value array(Json::arrayValue);
    array.append(3);
    array.append("4");
    array.append(Json::Value());
    EXPECT_EQ(valueToVector<std::string>(array), (std::vector<std::string>{"3", "4", ""}));
    EXPECT_TRUE(valueToList<std::string>(Json::Value(7)).empty());
    EXPECT_TRUE(valueToVector<std::string>(Json::Value()).empty());

    Json::Value numbers(Json::arrayValue);
    numbers.append(1);
    numbers.append(2.9);
    numbers.append(true);
    EXPECT_EQ(valueToList<int>(numbers), (std::list<int>{1, 2, 1}));
    EXPECT_EQ(valueToVector<double>(numbers), (std::vector<double>{1.0, 2.9, 1.0}));
    EXPECT_EQ(valueToList<bool>(numbers), (std::list<bool>{true, true, true}));
}

TEST(JsonExtraction, OperatorsConvertAndReturnTheValue) {
    const Json::Value number(12);
    int integer = 0;
    double real = 0;
    bool flag = false;
    std::string text;

    const Json::Value& same = number >> integer;
    EXPECT_EQ(&same, &number);
    number >> real;
    number >> flag;
    number >> text;
    EXPECT_EQ(integer, 12);
    EXPECT_DOUBLE_EQ(real, 12.0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(text, "12");

    EXPECT_THROW(Json::Value("x") >> integer, Json::LogicError);
}

TEST(JsonConfigString, ObjectTextWithCommentsIsAccepted) {
    const JsonConfigString config("// head\n{\"display\": 10, /* x */ \"home\": \"/home/u\"}");
    EXPECT_EQ(config.getInteger("display", -1), 10);
    EXPECT_EQ(config.getString("home", ""), "/home/u");
}

TEST(JsonConfigString, EmptyObjectGivesEveryDefault) {
    const JsonConfigString config("{}");
    EXPECT_EQ(config.getInteger("a", 9), 9);
    EXPECT_EQ(config.getString("b", "d"), "d");
}

TEST(JsonConfigString, NonObjectJsonThrowsVelkErrorAfterOneError) {
    for (const std::string text : {"[]", "42", "\"s\"", "null", "true", "[{\"a\": 1}]"}) {
        LogCapture log;
        try {
            JsonConfigString config(text);
            ADD_FAILURE() << "no exception for " << text;
        } catch (const velk_error& error) {
            EXPECT_STREQ(error.what(), "JsonConfigString");
        }
        const std::string messages = log.finish();
        EXPECT_EQ(VelkTest::countOccurrences(
                      messages, "JsonConfigString: config failed, not json object: `" + text + "'\n"),
                  1U)
            << messages;
    }
}

TEST(JsonConfigString, MalformedTextRaisesJsoncppsException) {
    for (const std::string text : {"", "{", "{\"a\": }", "not json", "{\"a\" 1}"}) {
        EXPECT_THROW(JsonConfigString config(text), Json::Exception) << text;
    }
}

TEST(JsonConfigString, CopiedConfigKeepsItsValues) {
    auto owned = std::make_unique<JsonConfig>(JsonConfigString(R"({"k": "v"})"));
    const JsonConfig copy = *owned;
    owned.reset();
    EXPECT_EQ(copy.getString("k", ""), "v");
}

}  // namespace

namespace {

using Velk::JsonDocument;
using Velk::JsonKind;
using Velk::JsonKnownKey;
using Velk::JsonProblem;
using Velk::JsonProblemKind;

// What a problem says where, as the checker prints it for a file named f.
std::vector<std::string> described(const std::vector<JsonProblem>& problems) {
    std::vector<std::string> lines;
    lines.reserve(problems.size());
    for (const auto& problem : problems) {
        lines.push_back(Velk::formatJsonProblem("f", problem));
    }
    return lines;
}

const std::vector<JsonKnownKey> listenKeys = {
    {"listen:port", JsonKind::Integer, 1, 65535, {}},
    {"listen:addr", JsonKind::String, std::nullopt, std::nullopt, {}},
    {"debug:level", JsonKind::String, std::nullopt, std::nullopt, {"none", "debug", "info", "trace"}},
    {"transport:args", JsonKind::StringList, std::nullopt, std::nullopt, {}},
    {"transport:keep", JsonKind::Boolean, std::nullopt, std::nullopt, {}},
};

TEST(JsonDocument, SyntaxErrorsAreLocatedByLineAndColumnAndLeaveNoValue) {
    const JsonDocument trailingComma("[\n  {\"a\": 1},\n]\n");
    EXPECT_TRUE(trailingComma.root().isNull());
    ASSERT_EQ(trailingComma.problems().size(), 1U);
    EXPECT_EQ(trailingComma.problems().front().kind, JsonProblemKind::Syntax);
    EXPECT_EQ(described(trailingComma.problems()).front().rfind("f:3:1: ", 0), 0U)
        << described(trailingComma.problems()).front();

    const JsonDocument missingColon("{\n\t\"a\" 1\n}");
    ASSERT_EQ(missingColon.problems().size(), 1U);
    EXPECT_EQ(described(missingColon.problems()).front().rfind("f:2:6: ", 0), 0U)
        << described(missingColon.problems()).front();

    const JsonDocument straySecondRoot("[1]\n\n  ]");
    EXPECT_EQ(described(straySecondRoot.problems()),
              std::vector<std::string>{"f:3:3: Syntax error: text after the end of the document"});
    EXPECT_TRUE(straySecondRoot.root().isNull());

    EXPECT_FALSE(JsonDocument("").problems().empty());
    EXPECT_TRUE(JsonDocument("[1]\n").problems().empty());
}

TEST(JsonDocument, MembersOfTheWrongKindOrOutOfRangeAreLocatedAtTheirValues) {
    const JsonDocument doc(R"({
  "listen:port": 70000,
  "listen:addr": 127,
  "transport:args": ["-v", 2],
  "transport:keep": "yes",
  "debug:level": "verbose"
})");
    ASSERT_TRUE(doc.problems().empty());
    EXPECT_EQ(described(doc.checkObject(doc.root(), listenKeys)),
              (std::vector<std::string>{
                  "f:2:18: listen:port: 70000 is out of range 1..65535",
                  "f:3:18: listen:addr: expected a string, found an integer",
                  "f:4:28: transport:args[1]: expected a string, found an integer",
                  "f:5:21: transport:keep: expected a boolean, found a string",
                  "f:6:18: debug:level: `verbose' is not one of none, debug, info, trace",
              }));

    const JsonDocument fine(R"({"listen:port": 3389.0, "debug:level": "info", "transport:args": []})");
    EXPECT_TRUE(fine.checkObject(fine.root(), listenKeys).empty());
    const JsonDocument fraction(R"({"listen:port": 33.5})");
    EXPECT_EQ(described(fraction.checkObject(fraction.root(), listenKeys)),
              std::vector<std::string>{"f:1:17: listen:port: expected an integer, found a number"});
    const JsonDocument array("[1]");
    EXPECT_EQ(described(array.checkObject(array.root(), listenKeys)),
              std::vector<std::string>{"f:1:1: expected an object, found an array"});
}

TEST(JsonDocument, AnUnknownKeyNamesTheNearestKnownOneWhenOneIsNear) {
    const JsonDocument doc("{\"listen:prot\": 1,\n \"debug:levle\": \"info\",\n \"colour\": \"red\"}");
    const auto problems = doc.checkObject(doc.root(), listenKeys);
    EXPECT_EQ(described(problems), (std::vector<std::string>{
                                       "f:1:17: listen:prot: unknown key, did you mean listen:port?",
                                       "f:2:17: debug:levle: unknown key, did you mean debug:level?",
                                       "f:3:12: colour: unknown key",
                                   }));
    EXPECT_EQ(problems.front().kind, JsonProblemKind::UnknownKey);
    EXPECT_EQ(Velk::nearestName("fram", {"frame", "fullscreen"}), "frame");
    EXPECT_EQ(Velk::nearestName("dialgo", {"menu", "dialog"}), "dialog");
    EXPECT_EQ(Velk::nearestName("x", {"frame"}), std::nullopt);
}

TEST(JsonDocument, AFileThatCannotBeReadIsOneProblemOfTheWholeFile) {
    TempDir dir;
    const auto missing = JsonDocument::fromFile(dir / "absent.json");
    EXPECT_TRUE(missing.root().isNull());
    EXPECT_EQ(described(missing.problems()),
              std::vector<std::string>{"f: cannot be read: No such file or directory"});
    EXPECT_EQ(described(JsonDocument::fromFile(dir.path()).problems()),
              std::vector<std::string>{"f: cannot be read: Is a directory"});

    writeFile(dir / "rules.json", "[\n  {\"wm:class\": \"xterm\"}\n]\n");
    const auto read = JsonDocument::fromFile(dir / "rules.json");
    EXPECT_TRUE(read.problems().empty());
    EXPECT_EQ(read.root()[0]["wm:class"].asString(), "xterm");
}

}  // namespace
