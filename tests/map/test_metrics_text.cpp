// The figures' way from a daemon to a scrape: the fields on zqspmd's socket,
// ZqsPublishMetrics's checks, and the exposition text read back by the
// monitoring client's own parser, label values and help texts of every kind.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "metrics.h"
#include "metricsparse.h"
#include "pmproto.h"
#include "zq.h"

namespace {

using zq::map::ProcessMetric;
using zq::pm::Metric;

TEST(MetricsText, FieldsOnTheSocketAreCheckedAndRoundTrip) {
    struct {
        const char* fields;
        bool good;
    } cases[] = {
        {"c\tzq_a_total\t3\t\t\tWhat it counts", true},
        {"g\tzq:b\t-1.5e+300\tqueue\tre\\x01q\\tx\thelp with \\\\ and \\n", true},
        {"g\tzq_c\tnan\t\t\t", true},
        {"x\tzq_a\t3\t\t\t", false},             // no such type
        {"c\t1zq\t3\t\t\t", false},              // a name starts with a letter
        {"c\tzq-a\t3\t\t\t", false},             // no '-' in a name
        {"c\tzq_a\t3x\t\t\t", false},            // not a number
        {"c\tzq_a\t\t\t\t", false},              // no number
        {"c\tzq_a\t3\tbad:label\tv\t", false},   // no ':' in a label name
        {"c\tzq_a\t3\t\t\t\textra", false},      // seven fields
        {"c\tzq_a\t3\t\t", false},               // five
    };
    for (const auto& c : cases) {
        Metric m;
        ASSERT_EQ(zq::pm::parse_metric_fields(c.fields, m), c.good) << c.fields;
        if (c.good && !std::isnan(m.value)) {
            EXPECT_EQ(zq::pm::metric_fields(m), c.fields);
        }
    }
    Metric m;
    ASSERT_TRUE(zq::pm::parse_metric_fields("g\tzq:b\t2\tqueue\tre\\x01q\\tx\th\\nx", m));
    EXPECT_EQ(m.label_value, "re\x01q\tx");
    EXPECT_EQ(m.help, "h\nx");
    EXPECT_EQ(zq::pm::metric_name_ok(std::string(101, 'a')), false);
    EXPECT_EQ(zq::pm::metric_name_ok(std::string(100, 'a')), true);
}

TEST(MetricsText, PublishRefusesBadFiguresBeforeItLooksForZqspmd) {
    unsetenv("ZQS_NAME");
    struct {
        ZqsMetric m;
        int err;
    } cases[] = {
        {{"trv_a_total", ZQS_METRIC_COUNTER, "help", nullptr, nullptr, 1}, ENOTCONN},
        {{"trv_a", ZQS_METRIC_GAUGE, nullptr, "queue", "any \"text\"\n", 1}, ENOTCONN},
        {{"trv_a", 3, "help", nullptr, nullptr, 1}, EINVAL},
        {{nullptr, ZQS_METRIC_GAUGE, "help", nullptr, nullptr, 1}, EINVAL},
        {{"trv a", ZQS_METRIC_GAUGE, "help", nullptr, nullptr, 1}, EINVAL},
        {{"trv_a", ZQS_METRIC_GAUGE, "help", "", "v", 1}, EINVAL},
        {{"trv_a", ZQS_METRIC_GAUGE, "help", "le-vel", "v", 1}, EINVAL},
    };
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(ZqsPublishMetrics(&c.m, 1), -1);
        EXPECT_EQ(errno, c.err) << (c.m.name ? c.m.name : "(null)");
    }
    std::vector<ZqsMetric> many(ZQS_METRICS_MAX + 1, ZqsMetric{"trv_a", ZQS_METRIC_GAUGE, "", nullptr, nullptr, 0});
    errno = 0;
    EXPECT_EQ(ZqsPublishMetrics(many.data(), static_cast<int>(many.size())), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ZqsPublishMetrics(nullptr, 1), -1);
}

ProcessMetric figure(char type, const std::string& name, double value, const std::string& label = "",
                     const std::string& label_value = "", const std::string& help = "h") {
    return zq::map::make_figure("p", type, name, help, value, label, label_value);
}

TEST(MetricsText, TheRealParserReadsEveryLabelValueAndHelpText) {
    struct {
        std::string label_value, read_as;
    } labels[] = {
        {"plain", "plain"},
        {"a \"quoted\" name", "a \"quoted\" name"},
        {"back\\slash\\", "back\\slash\\"},
        {"two\nlines", "two\nlines"},
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"bad \xff byte", "bad \xef\xbf\xbd byte"},
        {"cut \xe2\x82", "cut \xef\xbf\xbd\xef\xbf\xbd"},
        {"", ""},
    };
    std::vector<ProcessMetric> f;
    for (size_t i = 0; i < std::size(labels); ++i)
        f.push_back(figure('c', "zq_x_total", static_cast<double>(i), "session", labels[i].label_value,
                           "Help with \\ and\na line break"));
    // The same name and label value again, and the same name as a gauge: left out.
    f.push_back(figure('c', "zq_x_total", 99, "session", "plain"));
    f.push_back(figure('g', "zq_x_total", 98, "session", "other"));
    f.push_back(figure('g', "zq_y", NAN));
    f.push_back(figure('g', "zq_z", INFINITY, "", "", ""));
    f.push_back(figure('g', "zq_w", 1e-7));
    std::string text = zq::map::render_metrics(f);
    zqtest::Scrape s = zqtest::parse_exposition(text);
    ASSERT_TRUE(s.parsed) << s.error << text;
    for (size_t i = 0; i < std::size(labels); ++i)
        EXPECT_EQ(s.value("zq_x_total", "session", labels[i].read_as), static_cast<double>(i)) << labels[i].read_as;
    EXPECT_EQ(s.count("zq_x_total"), std::size(labels));
    EXPECT_EQ(s.types["zq_x"], "counter");
    EXPECT_TRUE(std::isnan(s.value("zq_y")));
    EXPECT_EQ(s.value("zq_z"), INFINITY);
    EXPECT_EQ(s.value("zq_w"), 1e-7);
    // One HELP and TYPE per family, the help escaped on one line.
    EXPECT_NE(text.find("# HELP zq_x_total Help with \\\\ and\\na line break\n# TYPE zq_x_total counter\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("# TYPE zq_x_total", text.find("# TYPE zq_x_total") + 1), std::string::npos);
}

}  // namespace
