#!/usr/bin/env perl
# Ties the model of the stop protocol to the code. verification/StopProtocol.map lists, for each
# function of src/ that the model describes, its shared accesses and the conditions that decide
# the protocol's moves as code fragments, in the code's order, each with its step in the model.
# Fails, naming the map's line, when a fragment is missing or out of order in the function's body,
# or its step in the model; and when src/ names a shared value (the map's "names") where no
# fragment covers it. Comments, blanks and line breaks do not count.
#   scripts/check-tie.pl [ROOT]   the code under ROOT/src (this checkout by default) against the
#                                 map and model of this checkout
use strict;
use warnings;
use File::Basename qw(dirname);
use File::Find qw(find);

my $here = dirname(dirname(__FILE__));
my $root = $ARGV[0] // $here;
my @problems;

sub slurp {
    my ($path) = @_;
    open(my $file, '<', $path) or die "check-tie: $path: $!\n";
    local $/;
    return <$file>;
}

# Without comments, blanks kept only between two words.
sub normal {
    my ($text) = @_;
    $text =~ s{/\*.*?\*/}{ }gs;
    $text =~ s{//[^\n]*}{ }g;
    $text =~ s/\s+/ /g;
    $text =~ s/ (?=\W)|(?<=\W) //g;
    return $text;
}

# The model as SPIN checks the protocol as it is: no switch defined.
sub model_text {
    my ($text) = @_;
    my (@keep, @out) = (1);
    for (split /\n/, $text) {
        if (/^#\s*if(n?)def\b/) { push @keep, $keep[-1] && $1 eq 'n' }
        elsif (/^#\s*else\b/) { $keep[-1] = !$keep[-1] && $keep[-2] }
        elsif (/^#\s*endif\b/) { pop @keep }
        elsif ($keep[-1]) { push @out, $_ }
    }
    return normal(join "\n", @out);
}

# [start of the name, start and end of the body] of the function or model unit.
sub body {
    my ($text, $header) = @_;
    my @found;
    while ($text =~ /$header/g) {
        my ($start, $open) = ($-[0], $+[0] - 1);
        my ($depth, $at) = (0, $open);
        for (; $at < length $text; $at++) {
            my $c = substr($text, $at, 1);
            $depth += $c eq '{' ? 1 : $c eq '}' ? -1 : 0;
            last if $depth == 0;
        }
        push @found, [$start, $open + 1, $at];
    }
    return @found == 1 ? $found[0] : undef;
}

# Finds the fragments in order from $from to $to; returns their spans, undef for one not found.
sub spans {
    my ($text, $from, $to, @fragments) = @_;
    my @spans;
    for my $fragment (@fragments) {
        my $at = index($text, $fragment, $from);
        if ($at < 0 || $at + length($fragment) > $to) {
            push @spans, undef;
            next;
        }
        push @spans, [$at, $at + length $fragment];
        $from = $at + length $fragment;
    }
    return @spans;
}

my (@names, @entries, $entry);
my $map = "verification/StopProtocol.map";
my $number = 0;
for (split /\n/, slurp("$here/$map")) {
    $number++;
    next if /^\s*(#|$)/;
    if (/^names\s+(.*)/) { push @names, split ' ', $1 }
    elsif (/^@\s+(\S+)\s+(\S+)\s+:\s+(\S+)\s*$/) {
        push @entries, $entry = { file => $1, function => $2, unit => $3, line => $number };
    }
    elsif ($entry && /^\s+(.*?)(?:\s+=>\s+(.*?))?\s*$/) {
        push @{$entry->{fragments}},
            { code => normal($1), model => normal($2 // ''), line => $number };
    }
    else { die "check-tie: $map:$number: not a line of the map\n" }
}
my $shared = join '|', map { quotemeta } @names;

my $model = model_text(slurp("$here/verification/StopProtocol.pml"));
my (%files, %covered, %bodies);
find(sub { $files{substr($File::Find::name, length("$root/"))} = 1 if /\.(cpp|h)$/ }, "$root/src");
$files{$_} = normal(slurp("$root/$_")) for keys %files;

for my $e (@entries) {
    my $where = "$map:$e->{line}";
    my $text = $files{$e->{file}};
    unless (defined $text) { push @problems, "$where: no file $e->{file}"; next }
    my ($from, $to) = (0, length $text);
    if ($e->{function} ne '-') {
        my $b = body($text, qr/(?<![\w:~])\Q$e->{function}\E\([^;{}()]*\)(?:const)?\{/);
        unless ($b) { push @problems, "$where: $e->{file} defines $e->{function} not once"; next }
        push @{$bodies{$e->{file}}}, $b;
        ($from, $to) = ($b->[1], $b->[2]);
    }
    my @code = spans($text, $from, $to, map { $_->{code} } @{$e->{fragments}});
    my ($mfrom, $mto) = (0, length $model);
    if ($e->{unit} ne '-') {
        my $b = body($model, qr/\b(?:inline|proctype) \Q$e->{unit}\E\([^{}]*\)[^{}]*\{/);
        unless ($b) { push @problems, "$where: the model has no unit $e->{unit}"; next }
        ($mfrom, $mto) = ($b->[1], $b->[2]);
    }
    for my $i (0 .. $#code) {
        my $f = $e->{fragments}[$i];
        my $at = "$map:$f->{line}";
        if ($code[$i]) { push @{$covered{$e->{file}}}, $code[$i] }
        else { push @problems, "$at: not in $e->{function}, or out of order: $f->{code}" }
        next if $f->{model} eq '';
        # A step follows the one before in its unit; with unit -, it may be anywhere.
        my ($step) = spans($model, $mfrom, $mto, $f->{model});
        if (!$step) {
            push @problems, "$at: not in the model's $e->{unit}, or out of order: $f->{model}";
        }
        elsif ($e->{unit} ne '-') { $mfrom = $step->[1] }
    }
}

# Every shared name in src/ lies in a fragment of its function, or of its file outside them.
for my $file (sort keys %files) {
    my $text = $files{$file};
    while ($text =~ /\b($shared)\b/g) {
        my ($at, $name) = ($-[0], $1);
        my $inside = grep { $at >= $_->[0] && $at < $_->[2] } @{$bodies{$file} // []};
        my $ok = grep { $at >= $_->[0] && $at < $_->[1] } @{$covered{$file} // []};
        # A mapped function's own name, where it is defined, needs no fragment.
        $ok ||= grep { $at >= $_->[0] && $at < $_->[1] } @{$bodies{$file} // []};
        next if $ok;
        my $context = substr($text, $at < 40 ? 0 : $at - 40, 80);
        my $place = $inside ? 'in a mapped function' : 'outside the mapped functions';
        push @problems, "src: $name in $file $place is in no fragment of the map: ...$context...";
    }
}

print "tie: $_\n" for @problems;
my $fragments = 0;
$fragments += @{$_->{fragments}} for @entries;
print "tie: $fragments fragments in order in ", scalar(@entries),
    " functions and files; every shared name covered\n" unless @problems;
exit(@problems ? 1 : 0);
