#!/usr/bin/perl
# Runs the Net::SNPP::Server library on a port for one client and records
# every page it processes, one line per pager: "<pager id>|<hold>|<message>".
# Usage: netsnpp-server.pl PORT LOGFILE   (prints "ready" once listening)
use strict;
use warnings;
use Net::SNPP::Server;
use IO::Handle;

my ($port, $logfile) = @ARGV;
die "usage: $0 port logfile\n" unless defined $logfile;
open(my $log, '>', $logfile) or die "$logfile: $!\n";
$log->autoflush(1);

my $server = Net::SNPP::Server->new(Port => $port, BindTo => '127.0.0.1', Timeout => 20,
                                       MaxErrors => 100)
  or die "cannot listen on $port\n";
$server->callback('write_log', sub { });
$server->callback('validate_pager_id', sub { $_[0] });
$server->callback('process_page', sub {
  my ($pager, $page, $results) = @_;
  my $id = ref $pager eq 'ARRAY' ? $pager->[0] : $pager;
  print $log "$id|$page->{hold}|$page->{mess}\n";
  push @$results, [ $pager, 1 ] if ref $results eq 'ARRAY';
  return 1;
});
STDOUT->autoflush(1);
print "ready\n";
alarm 30;  # never outlive a test
my $client = $server->client();
$server->handle_client($client);
exit 0;
