// The panel's status texts and button captions, as the GBK bytes the window shows. Spelled as
// escapes so that every compiler produces the same bytes whatever its execution character set;
// the programs that drive the window (tools, benchmark, tests) include this file too.
#ifndef PANEL_TEXTS_H
#define PANEL_TEXTS_H

#define TEXT_PORT_OPEN_FAILED "\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA\xCA\xA7\xB0\xDC"      // 打开串口失败
#define TEXT_PORT_OPENED      "\xB4\xAE\xBF\xDA\xD2\xD1\xB4\xF2\xBF\xAA"              // 串口已打开
#define TEXT_PORT_CLOSED      "\xB4\xAE\xBF\xDA\xD2\xD1\xB9\xD8\xB1\xD5"              // 串口已关闭
#define TEXT_LINKED           "\xB1\xE4\xCB\xCD\xC6\xF7\xD2\xD1\xC1\xAC\xBD\xD3"      // 变送器已连接
#define TEXT_LINK_LOST        "\xB5\xC8\xB4\xFD\xB1\xE4\xCB\xCD\xC6\xF7\xC1\xAC\xBD\xD3" // 等待变送器连接
#define TEXT_CONFIG_OK        "\xC5\xE4\xD6\xC3\xB3\xC9\xB9\xA6"                      // 配置成功
#define TEXT_CONFIG_FAILED    "\xC5\xE4\xD6\xC3\xCA\xA7\xB0\xDC"                      // 配置失败
#define TEXT_CONFIG_TIMEOUT   "\xC5\xE4\xD6\xC3\xB3\xAC\xCA\xB1"                      // 配置超时
#define TEXT_OPEN_PORT        "\xB4\xF2\xBF\xAA\xB4\xAE\xBF\xDA"                      // 打开串口 (button)
#define TEXT_CLOSE_PORT       "\xB9\xD8\xB1\xD5\xB4\xAE\xBF\xDA"                      // 关闭串口 (button)

#endif
