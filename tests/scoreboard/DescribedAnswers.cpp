// Every answer a server suite gets over HTTP must be one the API's
// description allows: a described status of that route, its required
// headers, and a body its schema takes. Built into each server suite.
#include "OpenApiCheck.h"
#include "ScoreServer.h"

#include <gtest/gtest.h>

namespace {

using namespace testsupport;

// For the whole binary: each suite's answers, not only this file's.
class DescriptionEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        CheckEveryReply([](http::verb method, const std::string& target, const Reply& reply) {
            for (const auto& problem :
                 ScoreTableDescription().Problems(http::to_string(method), target, AnswerOf(reply)))
                ADD_FAILURE() << method << " " << target << " answered " << reply.result_int() << ": " << problem
                              << "\n"
                              << reply.body().substr(0, 400);
        });
    }
    void TearDown() override { CheckEveryReply({}); }
};
[[maybe_unused]] ::testing::Environment* const kDescriptionEnvironment =
    ::testing::AddGlobalTestEnvironment(new DescriptionEnvironment);

}  // namespace
