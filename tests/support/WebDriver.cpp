#include "support/WebDriver.h"

#include <signal.h>

#include <chrono>

#include "support/Eventually.h"
#include "support/HttpClient.h"

namespace velmor::test {

using namespace std::chrono_literals;

WebDriver::WebDriver() {
  driver_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"chromedriver", "--port=" + std::to_string(port_)},
      dir_.file("chromedriver.txt"));
  if (!eventually([&] { return httpGet(port_, "/status").has_value(); }, 10s)) return;
  rapidjson::Document answer;
  if (!command("POST", "/session",
               R"({"capabilities": {"alwaysMatch": {"goog:chromeOptions": {"binary":
               "/usr/bin/chromium", "args": ["--headless=new", "--no-sandbox",
               "--ignore-certificate-errors", "--user-data-dir=)" +
                   dir_.file("profile") + R"("]}}}})",
               answer) ||
      !answer["value"].IsObject() || !answer["value"].HasMember("sessionId")) {
    return;
  }
  const rapidjson::Value& value = answer["value"];
  session_ = value["sessionId"].GetString();
  if (value["capabilities"].HasMember("goog:processID"))
    browser_ = value["capabilities"]["goog:processID"].GetInt();
}

WebDriver::~WebDriver() {
  // chromedriver's SIGTERM leaves the browser running: it ends with the session, or by its pid.
  rapidjson::Document answer;
  if (ready() && !command("DELETE", "/session/" + session_, "", answer) && browser_ > 0)
    ::kill(browser_, SIGKILL);
}

bool WebDriver::command(const char* method, const std::string& path, const std::string& body,
                        rapidjson::Document& answer) {
  auto response = httpRequest(port_, method, path, body, 30s);
  return response && response->status == 200 &&
         !answer.Parse(response->body.c_str()).HasParseError() && answer.IsObject() &&
         answer.HasMember("value");
}

bool WebDriver::open(const std::string& url) {
  rapidjson::Document answer;
  return command("POST", "/session/" + session_ + "/url", R"({"url": ")" + url + R"("})", answer);
}

std::string WebDriver::evaluate(const std::string& script) {
  rapidjson::Document answer;
  return command("POST", "/session/" + session_ + "/execute/sync",
                 R"({"script": ")" + script + R"(", "args": []})", answer) &&
                 answer["value"].IsString()
             ? answer["value"].GetString()
             : "";
}

}  // namespace velmor::test
