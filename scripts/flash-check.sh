# Sourced by the demo and the tests: whether the emulated target's flash holds exactly an image's bytes.
# Every image that reaches a target here is hex text, two digits a byte, separated by blanks and line
# ends (LF or CR LF), as scripts/make-image.py writes it: all `xxd -r -p` needs to read it back.
#   image_bytes IMAGE [RECORDS]               the image's bytes, or those of its first RECORDS records
#   flash_equals_image FLASH IMAGE [RECORDS]  status 0 when FLASH holds exactly those bytes; otherwise
#                                             prints cmp's word on where they part, and status 1

image_bytes() {
    if [ -z "${2:-}" ]; then
        xxd -r -p "$1"
        return
    fi
    # A record occupies its length field (high byte first) plus 2 bytes.
    local end=0 record high low
    for ((record = 0; record < $2; record++)); do
        read -r high low < <(xxd -r -p "$1" | od -An -tu1 -j "$end" -N2)
        [ -n "${low:-}" ] || break   # the image ends first
        end=$((end + high * 256 + low + 2))
    done
    xxd -r -p "$1" | head -c "$end"
}

flash_equals_image() {
    image_bytes "$2" "${3:-}" | cmp - "$1" 2>&1
}
