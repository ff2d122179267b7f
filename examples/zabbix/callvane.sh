#!/bin/sh
# Zabbix media type script: sends one alert as a page through callvane.
#
# Media type "Script", script name callvane.sh, parameters in this order:
#   {ALERT.SENDTO}  {ALERT.SUBJECT}  {ALERT.MESSAGE}
# The recipient is a pager or group name (or a list split at "," "/" ":").
# Every text reaches callvane as one argument of its own: no shell expands
# it, and "--" keeps a subject that starts with "-" from being an option.
# The SNPP server is $SNPP_SERVER, else callvane's own default.
set -u

CALLVANE=${CALLVANE:-/usr/bin/callvane}

if [ $# -ne 3 ]; then
  echo "usage: $0 RECIPIENT SUBJECT MESSAGE" >&2
  exit 2
fi
recipient=$1
subject=$2
message=$3

# A list of nothing but separators would leave callvane without a -p
# recipient, and it would then take the subject for the recipient list.
case $recipient in
  *[!,/:]*) ;;
  *)
    echo "$0: no recipient" >&2
    exit 2
    ;;
esac

if [ -n "$subject" ]; then
  exec "$CALLVANE" -f zabbix -p "$recipient" -- "$subject:" "$message"
fi
exec "$CALLVANE" -f zabbix -p "$recipient" -- "$message"
