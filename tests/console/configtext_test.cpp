// The console's reading and writing of the module's entry and trigger texts.
#include "configtext.h"

#include "monitoring.h"

#include <gtest/gtest.h>

using namespace console;

TEST(ConsoleText, EntriesSurviveReadAndWriteAsTheModelRendersThem)
{
    MonitoringConfiguration::initialize();
    const char* const texts[] = {
        "<monitor-entry variable=\"load-average\" log=\"true\"><frequency><seconds>60</seconds></frequency>"
        "<action-trigger value-type=\"average\" permanent=\"false\"><single-value comparison=\"greater-than\" "
        "value=\"8\"/><action max-frequency=\"1800\"><email>a@example.com</email><email>b@example.com</email><trap/>"
        "<log/></action></action-trigger></monitor-entry>",
        "<monitor-entry variable=\"process-count\" log=\"false\"><frequency><weekly every=\"2\" day-of-week=\"fri\">"
        "<time-of-day hour=\"6\" min=\"05\"/></weekly></frequency><action-trigger value-type=\"instantaneous\" "
        "permanent=\"true\"><interval-value low-value=\"10\" high-value=\"20\" inside-outside-range=\"outside\"/>"
        "<action max-frequency=\"0\"><udp/><shutdown/><power-off-drive/></action></action-trigger></monitor-entry>",
        // Names and values that need escaping, with a '>' left as it is inside an attribute.
        "<monitor-entry variable=\"&lt;script&gt;&amp;&quot;x'>\" log=\"true\"><frequency><daily every=\"1\">"
        "<time-of-day hour=\"23\" min=\"59\"/></daily></frequency><action-trigger value-type=\"instantaneous\" "
        "permanent=\"false\"><single-value comparison=\"equals\" value=\"a &lt;b&gt; &amp; c\"/><action "
        "max-frequency=\"5\"><log/></action></action-trigger><action-trigger value-type=\"instantaneous\" "
        "permanent=\"false\"><value-changes/><action max-frequency=\"0\"/></action-trigger></monitor-entry>",
        "<monitor-entry variable=\"uptime\" log=\"false\"><frequency><asynchronous/></frequency></monitor-entry>",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        EntryForm entry;
        ASSERT_TRUE(readEntry(text, &entry));
        // What the console writes means to the model what the text meant.
        EXPECT_EQ(MonitoringConfiguration::generate(MonitoringConfiguration::parseMonitorEntry(entryXml(entry))),
                  MonitoringConfiguration::generate(MonitoringConfiguration::parseMonitorEntry(text)));
    }
    EntryForm hostile;
    ASSERT_TRUE(readEntry(texts[2], &hostile));
    EXPECT_EQ(hostile.variable, "<script>&\"x'>");
    EXPECT_EQ(escapeXml(hostile.variable), "&lt;script&gt;&amp;&quot;x&#39;&gt;");
    MonitoringConfiguration::terminate();
}
