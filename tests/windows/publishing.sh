# Sourced by tools/win-test.sh: tarnel.exe under Wine publishing what COM5
# receives to a broker on this machine over TLS, with a user, a password and
# a client certificate the broker requires.
# Needs $work with the COM5-COM6 pair and the line-state library exported.
publishing_test() {
  local dir="$work/publish" port i
  mkdir "$dir"
  port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  (cd "$dir" && exec 2>/dev/null &&
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=ca -keyout ca.key -out ca.pem &&
    openssl req -newkey rsa:2048 -nodes -subj /CN=broker -keyout broker.key -out broker.csr &&
    printf subjectAltName=IP:127.0.0.1 >san &&
    openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
      -extfile san -out broker.pem &&
    openssl req -newkey rsa:2048 -nodes -subj /CN=lab -keyout client.key -out client.csr &&
    openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -days 2 -out client.pem &&
    mosquitto_passwd -b -c passwd lab s3cret)
  printf '%s\n' "listener $port 127.0.0.1" "cafile $dir/ca.pem" "certfile $dir/broker.pem" \
    "keyfile $dir/broker.key" "require_certificate true" "password_file $dir/passwd" \
    "allow_anonymous false" "user $(id -un)" >"$dir/broker.conf"
  local client=(-h 127.0.0.1 -p "$port" --cafile "$dir/ca.pem" -u lab -P s3cret
    --cert "$dir/client.pem" --key "$dir/client.key")
  LD_PRELOAD= mosquitto -c "$dir/broker.conf" 2>"$dir/broker.log" &
  local broker=$! subscriber=""
  for i in $(seq 100); do # the broker listens, then the subscriber's probe comes back
    if LD_PRELOAD= mosquitto_pub "${client[@]}" -t probe -m probe 2>/dev/null && [ -z "$subscriber" ]; then
      LD_PRELOAD= stdbuf -oL mosquitto_sub "${client[@]}" -t '#' -V 5 -q 1 -F '%P %x' >>"$dir/received" &
      subscriber=$!
    fi
    grep -q . "$dir/received" 2>/dev/null && break
    sleep 0.1
  done
  printf '5\r\n,\r\n%s\r\n0\r\n0\r\n' "$(winepath -w "$dir/log.csv")" >"$dir/tarnel.ini"
  printf '%s\n' '[broker]' "url=mqtts://127.0.0.1:$port" topic=lab/com5 user=lab password_file=pw \
    ca_file=ca.pem cert_file=client.pem key_file=client.key >"$dir/tarnel-publish.ini"
  echo s3cret >"$dir/pw"
  (cd build-win/bin && wine tarnel.exe --start --settings-dir "$(winepath -w "$dir")" 2>"$dir/stderr" &)
  for i in $(seq 100); do [ -f "$dir/log.csv" ] && break; sleep 0.1; done
  # 200 lines, one with every byte value but CR and LF, as the device sends them.
  python3 - "$dir" <<'PY'
import sys
lines = [b"%d,21.5,44" % i for i in range(200)]
lines[7] += bytes(b for b in range(256) if b not in (10, 13))
sent, expected, position = b"", [], 0
for line in lines:
    expected.append("position:%d %s" % (position, line.hex()))
    sent += line + b"\r\n"
    position += len(line) + 2
open(sys.argv[1] + "/sent", "wb").write(sent)
open(sys.argv[1] + "/expected", "w").write("\n".join(expected) + "\n")
PY
  cat "$dir/sent" >"$work/com6"
  received() { grep '^position:' "$dir/received" | sed 's/ generation:[0-9a-f]\{16\} / /'; }
  delivered() { received | cmp -s - "$dir/expected"; }
  for i in $(seq 200); do delivered && break; sleep 0.1; done
  wine taskkill /im tarnel.exe >/dev/null 2>&1
  kill "$subscriber" "$broker"
  cmp -s "$dir/log.csv" "$dir/sent" || { echo "FAILED: publishing: the log is not what was sent"; exit 1; }
  delivered || {
    received | diff "$dir/expected" - | head -5
    echo "FAILED: publishing: the subscriber did not receive every line, exactly"
    exit 1
  }
  grep -q "Publishing to mqtts://127.0.0.1:$port" "$dir/stderr" ||
    { cat "$dir/stderr"; echo "FAILED: publishing: no message on connecting"; exit 1; }
  passed=$((passed + 1))
  echo "publishing: 200 lines from COM5 to a broker on this machine over TLS with a client certificate, byte-exact, in order"
}
