// Configuration files for tests that play a device into a real driver.
#pragma once

namespace korvane::testing {

// Both forward errors and information to the host (a file without a level forwards nothing).

/// Lines end with a line feed; nothing else is configured.
inline constexpr const char* kLineConfig =
    R"(<root><logging><level value="3"/></logging><channelConfig><linefeed value="0x0a"/></channelConfig></root>)";

/// Lines "DOOR <n>" become the event "Door opened" (ended after the End seconds).
inline constexpr const char* kDoorConfig = R"(<?xml version="1.0"?>
<root>
  <logging><level value="3"/></logging>
  <channelConfig><linefeed value="0x0a"/></channelConfig>
  <validation><regex value="DOOR .*"/></validation>
  <kslXmlMapper version="2">
    <messageType parsing="regex">
      <message number="1" value="Door"><param number="1" value='DOOR ([0-9]+)' group="1"/></message>
    </messageType>
    <rules case_sensitive="yes">
      <message number="1" value="Door">
        <param reference="1" operator="ge" value="0" type="integer"><action type="event" value="Door opened"/></param>
      </message>
    </rules>
  </kslXmlMapper>
</root>)";

}  // namespace korvane::testing
