// Which format the metrics endpoint answers in, from the request's Accept header.
#include "metrics/ExpositionFormat.h"

#include <gtest/gtest.h>

#include <string>

namespace velmor {
namespace {

TEST(ExpositionFormat, ChosenFromTheAcceptHeader) {
  struct Case {
    const char* accept;
    ExpositionFormat format;
  };
  constexpr auto Text = ExpositionFormat::Text;
  constexpr auto OpenMetrics = ExpositionFormat::OpenMetrics;
  for (const Case& c : {
           Case{"", Text},
           Case{"*/*", Text},
           Case{"text/plain", Text},
           Case{"text/plain; version=0.0.4", Text},
           Case{"application/json", Text},  // nothing we write: the default
           Case{"garbage;;;,,=q", Text},
           // What Prometheus sends.
           Case{"application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
                "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
                OpenMetrics},
           Case{"application/openmetrics-text", OpenMetrics},
           Case{"Application/OpenMetrics-Text; Version=1.0.0", OpenMetrics},
           Case{"application/openmetrics-text; version=\"1.0.0\"; charset=utf-8", OpenMetrics},
           Case{" application/openmetrics-text ; version=1.0.0 ", OpenMetrics},
           // Only the version we write.
           Case{"application/openmetrics-text; version=0.0.1", Text},
           Case{"application/openmetrics-text; version=2.0.0", Text},
           // Qualities decide; equal ones prefer OpenMetrics.
           Case{"text/plain;q=0.9, application/openmetrics-text;q=0.5", Text},
           Case{"text/plain;q=0.5, application/openmetrics-text;q=0.9", OpenMetrics},
           Case{"text/plain, application/openmetrics-text", OpenMetrics},
           Case{"application/openmetrics-text;q=0", Text},
           Case{"application/openmetrics-text;q=0.0, */*", Text},
           Case{"application/openmetrics-text;q=junk", Text},
           Case{"text/*;q=0.2, application/openmetrics-text;q=0.1", Text},
       }) {
    EXPECT_EQ(chooseFormat(c.accept), c.format) << '"' << c.accept << '"';
  }
}

TEST(ExpositionFormat, ContentTypesNameTheVersion) {
  EXPECT_EQ(std::string(contentType(ExpositionFormat::Text)),
            "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(std::string(contentType(ExpositionFormat::OpenMetrics)),
            "application/openmetrics-text; version=1.0.0; charset=utf-8");
}

}  // namespace
}  // namespace velmor
