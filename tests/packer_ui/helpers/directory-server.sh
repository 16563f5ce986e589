#!/bin/bash
# The directory tests' own OpenLDAP server on a free loopback port.
# Usage: directory-server.sh start|stop TESTDATA
#   start: makes the entries' certificates and data, loads them with slapadd, starts slapd in the
#          foreground of a background job and waits until it answers; writes ldap/port and ldap/pid.
#   stop:  ends the slapd whose pid was written and waits until it has gone.
# Entries under dc=quillarent,dc=test:
#   ou=people   Alice (two mail values), Bob (two certificates), a Cyrillic entry with a
#               certificate of a Cyrillic subject, an entry without certificates and one whose
#               only certificate value is damaged
#   ou=private  Carol, readable only after a simple bind as cn=reader (password in ldap/password)
#   ou=bulk     200 entries "Bulk 1" to "Bulk 200" (the server hands them out in that order), each with
#               the stranger's certificate and a dnQualifier "k001" (Bulk 200) to "k200" (Bulk 1): an
#               attribute with an ordering rule, which the server can sort by (it cannot by cn)
set -euo pipefail
action="$1"; testdata="$2"
dir="$testdata/ldap"
base="dc=quillarent,dc=test"

stop_server() {
    [ -s "$dir/pid" ] || return 0
    local pid
    pid="$(cat "$dir/pid")"
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
    fi
    rm -f "$dir/pid"
}

if [ "$action" = stop ]; then
    stop_server
    exit 0
fi

stop_server
rm -rf "$dir"
mkdir -p "$dir/data"
cd "$dir"

openssl req -x509 -newkey rsa:1024 -nodes -utf8 -keyout cyrillic.key.pem -out cyrillic.pem -days 3650 \
    -subj "/CN=Пётр Ёжиков/O=Квиларент" 2>/dev/null
openssl x509 -in cyrillic.pem -outform DER -out cyrillic.cer
head -c 300 "$testdata/carol.cer" > damaged.cer
echo -n "Reader-Secret1" > password

b64() { printf '%s' "$1" | base64 -w0; }
{
    cat <<LDIF
dn: $base
objectClass: dcObject
objectClass: organization
dc: quillarent
o: Quillarent Tests

dn: ou=people,$base
objectClass: organizationalUnit
ou: people

dn: ou=private,$base
objectClass: organizationalUnit
ou: private

dn: ou=bulk,$base
objectClass: organizationalUnit
ou: bulk

dn: cn=reader,$base
objectClass: person
cn: reader
sn: reader
userPassword: $(cat password)

dn: cn=Alice Recipient,ou=people,$base
objectClass: inetOrgPerson
cn: Alice Recipient
sn: Recipient
mail: alice@quillarent.test
mail: a.recipient@quillarent.test
userCertificate;binary:< file://$testdata/alice.cer

dn: cn=Bob Recipient,ou=people,$base
objectClass: inetOrgPerson
cn: Bob Recipient
sn: Recipient
mail: bob@quillarent.test
userCertificate;binary:< file://$testdata/bob.cer
userCertificate;binary:< file://$testdata/dave.cer

dn:: $(b64 "cn=Пётр Ёжиков,ou=people,$base")
objectClass: inetOrgPerson
cn:: $(b64 "Пётр Ёжиков")
sn:: $(b64 "Ёжиков")
mail: petr@quillarent.test
userCertificate;binary:< file://$dir/cyrillic.cer

dn: cn=Nobody Certified,ou=people,$base
objectClass: inetOrgPerson
cn: Nobody Certified
sn: Certified
mail: nobody@quillarent.test

dn: cn=Damaged Value,ou=people,$base
objectClass: inetOrgPerson
cn: Damaged Value
sn: Value
mail: damaged@quillarent.test
userSMIMECertificate:< file://$dir/damaged.cer

dn: cn=Carol Signer,ou=private,$base
objectClass: inetOrgPerson
cn: Carol Signer
sn: Signer
mail: carol@quillarent.test
userCertificate;binary:< file://$testdata/carol.cer

LDIF
    for n in $(seq 1 200); do
        printf 'dn: cn=Bulk %s,ou=bulk,%s\nobjectClass: inetOrgPerson\nobjectClass: extensibleObject\ncn: Bulk %s\nsn: Bulk\ndnQualifier: k%03d\nuserCertificate;binary:< file://%s\n\n' \
            "$n" "$base" "$n" "$((201 - n))" "$testdata/stranger.cer"
    done
} > data.ldif

# The sort control needs the sssvlv overlay; it sorts only by attributes with an ordering rule.
cat > slapd.conf <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
pidfile $dir/slapd.pid
modulepath /usr/lib/ldap
moduleload back_mdb
moduleload sssvlv
database mdb
maxsize 10485760
suffix "$base"
rootdn "cn=admin,$base"
rootpw admin-secret
directory $dir/data
access to attrs=userPassword by anonymous auth by * none
access to dn.subtree="ou=private,$base" by dn.exact="cn=reader,$base" read by * none
access to * by * read
overlay sssvlv
CONF
slapadd -q -f slapd.conf -l data.ldif >/dev/null 2>slapadd.log || { cat slapadd.log >&2; exit 1; }

# A port nobody listens on; should another program take it first, slapd ends and the next is tried.
for port in $(shuf -i 20000-60000 -n 20); do
    ss -Hltn "sport = :$port" | grep -q . && continue
    slapd -f slapd.conf -h "ldap://127.0.0.1:$port/" -d 0 </dev/null >slapd.log 2>&1 &
    pid=$!
    echo "$pid" > pid
    until ldapsearch -x -H "ldap://127.0.0.1:$port/" -b "$base" -s base '(objectClass=*)' dn >/dev/null 2>&1; do
        if ! kill -0 "$pid" 2>/dev/null; then pid=; break; fi
        sleep 0.1
    done
    if [ -n "$pid" ]; then
        echo "$port" > port
        exit 0
    fi
    rm -f pid
done
echo "slapd did not start: $(cat slapd.log)" >&2
exit 1
