#!/usr/bin/env bash
# Fills the stores of $ORVIK_HOME with made-up certificates for looking at the pages: a demo
# authority in CA, a dozen people in ADDRESSBOOK, a few personal certificates with keys in MY
# (one of them expired). Everything is made here with OpenSSL; nothing of a real deployment.
# Usage: ORVIK_HOME=... scripts/seed-demo-stores.sh ORVIKCTL
set -euo pipefail
ctl=$(realpath "${1:?usage: seed-demo-stores.sh ORVIKCTL}")
: "${ORVIK_HOME:?set ORVIK_HOME}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -utf8 \
  -subj "/C=CN/O=Orvikon 演示/CN=Orvikon 演示 CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
"$ctl" import-cert ca.pem --store CA >/dev/null
# The demo root is trusted as a user would trust it from the authorities page.
"$ctl" trust ca.pem >/dev/null
"$ctl" install-authorities >/dev/null
for region in 北京 上海 广州 深圳 杭州 成都; do
  openssl req -newkey rsa:2048 -nodes -keyout sub.key -out sub.csr -utf8 -subj "/C=CN/O=Orvikon 演示/CN=Orvikon 演示 $region CA" 2>/dev/null
  printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' >sub.ext
  openssl x509 -req -in sub.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out sub.pem -days 1825 -extfile sub.ext 2>/dev/null
  "$ctl" import-cert sub.pem --store CA >/dev/null
done

issue() {  # name email days-valid out
  local name=$1 email=$2 days=$3 out=$4
  openssl req -newkey rsa:2048 -nodes -keyout "$out.key" -out "$out.csr" -utf8 \
    -subj "/C=CN/O=Orvikon 演示/CN=$name/emailAddress=$email" 2>/dev/null
  printf 'keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=emailProtection\nsubjectAltName=email:%s\n' \
    "$email" >"$out.ext"
  openssl x509 -req -in "$out.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$out.pem" \
    -days "$days" -extfile "$out.ext" 2>/dev/null
}

people=(张伟 王芳 李娜 刘洋 陈静 杨磊 赵敏 黄强 周杰 吴婷 徐明 孙丽)
for i in "${!people[@]}"; do
  issue "${people[$i]}" "user$i@example.test" 730 "p$i"
  "$ctl" import-cert "p$i.pem" --store ADDRESSBOOK >/dev/null
done

mine=(张三 张三（签名）)
for i in "${!mine[@]}"; do
  issue "${mine[$i]}" "zhangsan$i@example.test" 365 "m$i"
  openssl pkcs12 -export -in "m$i.pem" -inkey "m$i.key" -out "m$i.pfx" -passout pass:demo \
    -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1 2>/dev/null
  "$ctl" import-pfx "m$i.pfx" --password demo >/dev/null
done
# An expired one, for the marking of old certificates: "openssl ca" takes explicit dates.
openssl req -newkey rsa:2048 -nodes -keyout old.key -out old.csr -utf8 -subj "/C=CN/CN=张三（旧证书）" 2>/dev/null
touch index.txt
echo 01 >serial
printf '[ca]\ndefault_ca=d\n[d]\ndir=.\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\ndefault_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n' >ca.cnf
openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in old.csr -out old.pem -utf8 -notext \
  -startdate 20200101000000Z -enddate 20210101000000Z 2>/dev/null
"$ctl" import-cert old.pem --key old.key >/dev/null
"$ctl" friendly-name "$("$ctl" list --store MY | head -1 | cut -f1)" "工作证书" --store MY >/dev/null
echo "seeded: $("$ctl" list --store MY | wc -l) personal, $("$ctl" list --store ADDRESSBOOK | wc -l) other, $("$ctl" list --store CA | wc -l) authorities"
