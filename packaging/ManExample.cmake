# Writes the EXAMPLE section of zentok.ini(5): the commented example
# configuration that the package installs as /etc/zentok/zentok.ini, whole.
# cmake -DEXAMPLE=examples/zentok.ini -DOUTPUT=... -P ManExample.cmake
file(READ ${EXAMPLE} example)
string(REGEX REPLACE "\n$" "" example "${example}")
string(REPLACE "\n" "\n    " example "${example}")
file(WRITE ${OUTPUT} "# EXAMPLE

A complete configuration: one Modbus TCP device with an outage node, a level
alarm and a status input, a CSV logbook, a mail receiver and the server
manager. The package installs it as */etc/zentok/zentok.ini*.

    ${example}

# SEE ALSO

**zentok**(8); the documentation in */usr/share/doc/zentok/docs/*, among it
*configuration.md* (this page), *conditions.md*, *outbox.md*, *mail.md*,
*webhook.md*, *alarms.md* (deadband, delays, reminders, flood guard), *channels.md*
(Telegram, MQTT, programs) and *fleet.md*.
")
